#include "guard/virus_judge.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"

namespace {

Verdict virus_verdict(VerdictKind kind, Outcome outcome, const char* line, const char* mark) {
  Verdict verdict = {kind, outcome, line};
  verdict.mark = mark;
  return verdict;
}

// File `index` of the request, read from its scratch file in blocks.
struct UploadReader {
  const FormRequest* request;
  int index;
  long long offset;
  bool failed;  // the scratch file could not be read: not scanned
};

size_t read_upload(void* source, char* buf, size_t cap) {
  UploadReader* reader = static_cast<UploadReader*>(source);
  long got = form_file_read(reader->request, reader->index, reader->offset, buf, cap);
  if (got < 0) {
    reader->failed = true;
    return 0;
  }
  reader->offset += got;
  return static_cast<size_t>(got);
}

// How file `index` went, its verdict into *result.
void scan_file(const Settings& settings, const FormRequest& request, int index, long long end_ms,
               ClamdResult* result) {
  const FormFile& file = request.files[index];
  long long limit = settings.virus_max_kb * 1024LL;
  if (static_cast<long long>(file.size) > limit) {
    // clamd would stop reading it at its StreamMaxLength.
    *result = ClamdResult();
    result->status = ClamdStatus::kSizeLimit;
    snprintf(result->text, sizeof result->text, "%zu bytes, over virus_max_kb %d", file.size,
             settings.virus_max_kb);
    return;
  }
  UploadReader reader = {&request, index, 0, false};
  *result = clamd_scan(settings.virus_scan, read_upload, &reader, end_ms);
  if (reader.failed || (result->status == ClamdStatus::kClean &&
                        reader.offset != static_cast<long long>(file.size))) {
    // A scan of part of the file says nothing of the rest.
    *result = ClamdResult();
    result->status = ClamdStatus::kError;
    snprintf(result->text, sizeof result->text, "its bytes cannot be read back");
  }
}

// The files were not all scanned: `why` is the first reason, of `name`.
Verdict unscanned(const Settings& settings, const char* name, const char* why) {
  if (settings.virus_unreachable_send) {
    log_event(LOG_ERROR, "virus scan: {%s} could not be scanned (%s); sent unscanned "
              "(virus_unreachable send).", log_quote(0, name), log_quote(1, why));
    return Verdict{VerdictKind::kPass, Outcome::kSent, nullptr};
  }
  if (settings.spool_folder == nullptr) {
    log_event(LOG_ERROR, "virus scan: {%s} could not be scanned (%s); nothing sent.",
              log_quote(0, name), log_quote(1, why));
    return virus_verdict(VerdictKind::kRefused, Outcome::kScanUnavailable,
                         "not sent, the files could not be scanned for viruses", nullptr);
  }
  log_event(LOG_ERROR, "virus scan: {%s} could not be scanned (%s); the message waits in the "
            "spool for -resend to scan it.", log_quote(0, name), log_quote(1, why));
  Verdict verdict = virus_verdict(VerdictKind::kDeferred, Outcome::kSpooled,
                                  "kept in the spool, not yet scanned for viruses", "unscanned");
  snprintf(verdict.reasons, sizeof verdict.reasons, "%s", why);
  return verdict;
}

struct MessagePieces {
  const char* parts[3];
  size_t sizes[3];
  int index;
  size_t at;
};

size_t read_pieces(void* source, char* buf, size_t cap) {
  MessagePieces* pieces = static_cast<MessagePieces*>(source);
  size_t given = 0;
  while (given < cap && pieces->index < 3) {
    size_t left = pieces->sizes[pieces->index] - pieces->at;
    size_t n = left < cap - given ? left : cap - given;
    memcpy(buf + given, pieces->parts[pieces->index] + pieces->at, n);
    given += n;
    pieces->at += n;
    if (pieces->at == pieces->sizes[pieces->index]) {
      ++pieces->index;
      pieces->at = 0;
    }
  }
  return given;
}

}  // namespace

Verdict virus_judge(const GuardInput& input, GuardRun*) {
  const Settings& settings = *input.settings;
  const FormRequest* upload = input.upload;
  Verdict pass = {VerdictKind::kPass, Outcome::kSent, nullptr};
  // Files are in the message only with attachments on.
  if (settings.virus_scan == nullptr || settings.attachments_max_kb == 0 || upload == nullptr ||
      upload->file_count == 0) {
    return pass;
  }
  long long end_ms = clamd_end_ms(settings.virus_timeout, input.deadline_ms);
  const char* unscanned_name = nullptr;
  char why[300] = "";
  for (int i = 0; i < upload->file_count; ++i) {
    const FormFile& file = upload->files[i];
    ClamdResult result;
    scan_file(settings, *upload, i, end_ms, &result);
    if (result.status == ClamdStatus::kFound) {
      log_event(LOG_ERROR, "virus scan: {%s} holds {%s} (clamd); nothing sent.",
                log_quote(0, file.file_name), log_quote(1, result.name));
      Verdict verdict = virus_verdict(VerdictKind::kRefused, Outcome::kInfected,
                                      "not sent, an attached file is infected", "infected");
      verdict.keep = true;
      snprintf(verdict.reasons, sizeof verdict.reasons, "%s: %s", file.file_name, result.name);
      return verdict;
    }
    if (result.status == ClamdStatus::kClean || unscanned_name != nullptr) continue;
    unscanned_name = file.file_name;
    snprintf(why, sizeof why, "%s", result.text);
    // With clamd gone the other files would only wait for it too; a file
    // over the stream limit leaves the others worth scanning.
    if (result.status != ClamdStatus::kSizeLimit) break;
  }
  if (unscanned_name == nullptr) {
    log_event(LOG_DEBUG, "virus scan: %d file%s clean.", upload->file_count,
              upload->file_count == 1 ? "" : "s");
    return pass;
  }
  return unscanned(settings, unscanned_name, why);
}

ClamdResult virus_scan_message(const Settings& settings, const char* header_block,
                               const char* line_ending, const char* body) {
  MessagePieces pieces = {{header_block, line_ending, body},
                          {strlen(header_block), strlen(line_ending), strlen(body)}, 0, 0};
  long long size = static_cast<long long>(pieces.sizes[0] + pieces.sizes[1] + pieces.sizes[2]);
  if (size > settings.virus_max_kb * 1024LL) {
    // Its files in base64 take a third more than they did at the post.
    ClamdResult result = {};
    result.status = ClamdStatus::kSizeLimit;
    snprintf(result.text, sizeof result.text, "the message's %lld bytes are over virus_max_kb %d",
             size, settings.virus_max_kb);
    return result;
  }
  return clamd_scan(settings.virus_scan, read_pieces, &pieces,
                    clamd_end_ms(settings.virus_timeout, 0));
}
