#include "driver/archive_run.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_spool.h"
#include "archive/archive_text.h"
#include "base/fatal.h"
#include "base/json.h"
#include "base/log.h"
#include "base/program.h"
#include "base/secret_file.h"
#include "base/sha256.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

namespace {

constexpr long long kPurgeEverySeconds = 3600;

// A copy of `text` the record owns until the run's end.
const char* own(ArchiveRun* run, const char* text) {
  char* copy = strdup(text != nullptr ? text : "");
  if (copy == nullptr || run->owned_count == 24) fatal_reply(kOutOfMemory);
  run->owned[run->owned_count++] = copy;
  return copy;
}

const char* ini_name() {
  const char* name = g_program.ini_path;
  for (const char* p = g_program.ini_path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

bool is_address(const char* value) {
  const char* at = strchr(value, '@');
  return at != nullptr && at != value && at[1] != '\0' && strpbrk(value, " \t\r\n<>,") == nullptr;
}

// The field named `name` (case ignored), or null.
const char* value_named(const FormTable& form, const char* name) {
  for (int i = 0; i < form.count; ++i) {
    if (strcasecmp(form.names[i], name) == 0) return form.values[i];
  }
  return nullptr;
}

// The first words of the message: of the "message" field, else of the
// longest value; blanks collapsed, cut at a character's start after about
// 60 bytes.
void excerpt_of(const FormTable& form, char* out, size_t size) {
  const char* text = value_named(form, "message");
  for (int i = 0; text == nullptr && i < form.count; ++i) {
    for (int j = 0; j < form.count; ++j) {
      if (form.values[j] != nullptr && (text == nullptr || strlen(form.values[j]) > strlen(text))) {
        text = form.values[j];
      }
    }
  }
  size_t n = 0;
  bool blank = false;
  for (const char* p = text != nullptr ? text : ""; *p != '\0' && n + 6 < size; ++p) {
    if (isspace(static_cast<unsigned char>(*p))) {
      blank = n > 0;
      continue;
    }
    if (n >= 60 && (static_cast<unsigned char>(*p) & 0xC0) != 0x80) break;
    if (blank) out[n++] = ' ';
    blank = false;
    out[n++] = *p;
  }
  out[n] = '\0';
}

// The per-install key of the address hashes, beside the database: made
// once (mode 600, through a temporary name so that no run reads half of it).
bool address_key(const char* database, char* key, size_t key_size) {
  char path[1100];
  const char* slash = strrchr(database, '/');
  int folder = slash != nullptr ? static_cast<int>(slash - database) + 1 : 0;
  snprintf(path, sizeof path, "%.*saddress-key", folder, database);
  size_t length = 0;
  int open_error = 0;
  if (secret_file_line(path, key, key_size - 1, &length, &open_error) == SecretLine::kRead) {
    return true;
  }
  unsigned char random[32];
  char hex[65];
  if (!os_random_bytes(random, sizeof random)) return false;
  hex_lower(random, sizeof random, hex);
  char tmp[1200];
  snprintf(tmp, sizeof tmp, "%s.%d", path, os_pid());
  if (os_write_new_file(tmp, hex, 64, true) == 0) {
    os_rename_noreplace(tmp, path);
    os_remove_file(tmp);
  }
  return secret_file_line(path, key, key_size - 1, &length, &open_error) == SecretLine::kRead;
}

// The client's address as archive_ip says: a keyed hash (hex), as it is,
// The bytes of file `index` read back from the request's scratch file
// (heap), or null when they cannot be: the record then names the file only.
static const char* file_copy(const FormRequest& upload, int index) {
  size_t size = upload.files[index].size;
  char* copy = static_cast<char*>(malloc(size + 1));
  if (copy == nullptr) fatal_reply(kOutOfMemory);
  size_t at = 0;
  while (at < size) {
    long got = form_file_read(&upload, index, static_cast<long long>(at), copy + at, size - at);
    if (got <= 0) break;
    at += static_cast<size_t>(got);
  }
  if (at == size) return copy;
  log_event(LOG_ERROR, "archive: the bytes of {%s} cannot be read back; the record names the "
            "file only.", log_quote(0, upload.files[index].file_name));
  free(copy);
  return nullptr;
}

// or nothing.
void client_text(const Settings& settings, const char* database, const char* address,
                 char* out, size_t size) {
  out[0] = '\0';
  if (address == nullptr || settings.archive_ip == kArchiveIpNone) return;
  if (settings.archive_ip == kArchiveIpFull) {
    snprintf(out, size, "%s", address);
    return;
  }
  char key[128];
  if (!address_key(database, key, sizeof key)) {
    snprintf(out, size, "(no address key)");
    return;
  }
  unsigned char digest[kSha256Size];
  hmac_sha256(key, strlen(key), address, strlen(address), digest);
  char hex[2 * kSha256Size + 1];
  hex_lower(digest, 16, hex);
  snprintf(out, size, "%s", hex);
}

// Where the address key lies: beside an SQLite file; with a database
// server, in the spool folder (or, without one, beside the settings
// file), so that each server keeps its own copy (heap; caller frees).
char* key_place(const Settings& settings) {
  char* database = archive_resolved_path(settings, g_program.ini_path);
  if (!archive_is_database_url(database)) return database;
  free(database);
  const char* ini = g_program.ini_path;
  const char* slash = strrchr(ini, '/');
  int folder = slash != nullptr ? static_cast<int>(slash - ini) + 1 : 0;
  const char* spool = settings.spool_folder;
  size_t size = strlen(ini) + (spool != nullptr ? strlen(spool) : 0) + 16;
  char* place = static_cast<char*>(malloc(size));
  if (place == nullptr) fatal_reply(kOutOfMemory);
  if (spool == nullptr) {
    snprintf(place, size, "%.*sarchive", folder, ini);
    return place;
  }
  if (os_path_is_absolute(spool)) folder = 0;
  snprintf(place, size, "%.*s%s", folder, ini, spool);
  spool_ensure_folder(place);  // the first run may come before the first spooled mail
  snprintf(place + strlen(place), size - strlen(place), "/archive");
  return place;
}

}  // namespace

static void add_files(ArchiveRun* run, const Settings& settings, const FormTable& form,
                      const FormRequest& upload, TextBuffer* json) {
  text_buffer_append_bytes(json, "[", 1);
  if (upload.file_count > 0) {
    run->files = static_cast<ArchiveFile*>(calloc(upload.file_count, sizeof(ArchiveFile)));
    if (run->files == nullptr) fatal_reply(kOutOfMemory);
  }
  for (int i = 0; i < upload.file_count; ++i) {
    const FormFile& file = upload.files[i];
    const char* field = file.entry >= 0 && file.entry < form.count ? form.names[file.entry] : "";
    if (i > 0) text_buffer_append_bytes(json, ",", 1);
    text_buffer_append(json, "{\"field\":");
    json_append_string(json, field, strlen(field));
    text_buffer_append(json, ",\"name\":");
    json_append_string(json, file.file_name, strlen(file.file_name));
    text_buffer_append(json, ",\"type\":");
    json_append_string(json, file.content_type, strlen(file.content_type));
    text_buffer_append(json, ",\"size\":%llu}", static_cast<unsigned long long>(file.size));
    ArchiveFile& kept = run->files[i];
    kept.size = file.size;
    if (settings.archive_files) kept.data = file_copy(upload, i);
  }
  text_buffer_append_bytes(json, "]", 1);
  run->record.file_data = run->files;
  run->record.file_count = upload.file_count;
}

void archive_run_start(ArchiveRun* run, const Settings& settings, const FormTable& form,
                       const FormRequest& upload, const Request& request, const char* id,
                       long long deadline_ms) {
  *run = ArchiveRun{};
  run->on = settings.archive != nullptr;
  if (!run->on) return;
  run->deadline_ms = deadline_ms;
  ArchiveRecord& r = run->record;
  r.id = own(run, id);
  r.received = os_unix_time_us() / 1000000;
  // The form a path chose, else the settings file's name.
  r.form = own(run, g_program.form_name[0] != '\0' ? g_program.form_name : ini_name());
  TextBuffer* json = text_buffer_new("");
  const char* const* names = form.names;
  archive_fields_json(names, form.values, form.count, json);
  r.fields = own(run, json->data);
  text_buffer_replace(json, "%s", "");
  add_files(run, settings, form, upload, json);
  r.files = own(run, json->data);
  text_buffer_free(json);
  char* database = key_place(settings);
  char client[80];
  client_text(settings, database, request.remote_addr, client, sizeof client);
  free(database);
  if (settings.archive_ip != kArchiveIpNone) r.client = own(run, client);
  if (settings.archive_user_agent && request.user_agent != nullptr) {
    r.user_agent = own(run, request.user_agent);
  }
  const char* sender = settings.reply_to_variable != nullptr
                           ? form_value(form, settings.reply_to_variable)
                           : nullptr;
  for (int i = 0; (sender == nullptr || !is_address(sender)) && i < form.count; ++i) {
    if (form.values[i] != nullptr && is_address(form.values[i])) sender = form.values[i];
  }
  if (sender != nullptr) r.sender = own(run, sender);
  const char* subject = value_named(form, "subject");
  if (subject != nullptr) r.subject = own(run, subject);
  char excerpt[80];
  excerpt_of(form, excerpt, sizeof excerpt);
  r.excerpt = own(run, excerpt);
}

// The time a step may wait for the database: archive_timeout, and never
// past the run's end.
static int wait_ms(const ArchiveRun& run, const Settings& settings) {
  long long wait = settings.archive_timeout * 1000LL;
  if (run.deadline_ms > 0) {
    long long left = run.deadline_ms - os_monotonic_ms();
    if (left < wait) wait = left > 0 ? left : 1;
  }
  return static_cast<int>(wait);
}

// The first failure's reason stays in `error`; no later step waits again.
static void note_failure(ArchiveRun* run) {
  if (!run->failed) memcpy(run->error, run->archive.error, sizeof run->error);
  run->failed = true;
}

void archive_run_before_delivery(ArchiveRun* run, const Settings& settings,
                                 const Envelope& envelope) {
  if (!run->on) return;
  if (run->record.sender == nullptr && envelope.from != nullptr && !envelope.sender_from_settings) {
    run->record.sender = own(run, envelope.from);
  }
  run->opened = archive_open(settings, g_program.ini_path, wait_ms(*run, settings), &run->archive);
  run->written = run->opened && archive_record_submission(&run->archive, run->record);
  if (!run->written) note_failure(run);
}

// The outcome word of the record: the JSON answer's, except that what the
// visitor was told was sent but was not is recorded as it is.
static const char* outcome_word(const SubmissionEnd& end, bool honeypot) {
  if (end.verdict.kind == VerdictKind::kDropped) return honeypot ? "honeypot" : "duplicate";
  if (end.verdict.kind == VerdictKind::kQuarantined) return "quarantined";
  return outcome_info(submission_outcome(end)).word;
}

static void add_result(ArchiveRun* run, const SubmissionEnd& end, bool honeypot) {
  ArchiveRecord& r = run->record;
  r.outcome = outcome_word(end, honeypot);
  if (end.verdict.line != nullptr) r.verdict = own(run, end.verdict.line);
  const char* mark = end.verdict.mark;
  if (mark != nullptr && strcmp(mark, "spam") == 0) {
    r.spam_verdict = mark;
    r.spam_reasons = own(run, end.verdict.reasons);
    r.spam_score = end.verdict.score;
    r.has_spam_score = end.verdict.has_score;
  } else if (mark != nullptr) {
    r.virus_verdict = mark;
  }
  const DeliveryResult& result = end.result;
  if (result.reply_text[0] != '\0') r.server_reply = own(run, result.reply_text);
  if (result.message_id[0] != '\0') r.message_id = own(run, result.message_id);
  if (result.spool_name[0] != '\0') r.spool_name = own(run, result.spool_name);
  r.elapsed_ms = end.elapsed_ms;
}

// Removes the records past archive_keep_days, at most once an hour.
static void purge_when_due(ArchiveRun* run, const Settings& settings) {
  long long now = run->record.received;
  long long removed = 0;
  if (settings.archive_keep_days <= 0) return;
  if (!archive_purge_due(&run->archive, now, kPurgeEverySeconds)) return;
  if (!archive_purge(&run->archive, now - settings.archive_keep_days * 86400LL, &removed)) {
    log_event(LOG_ERROR, "%s", run->archive.error);
  }
}

void archive_run_finish(ArchiveRun* run, const Settings& settings, SubmissionEnd* end,
                        bool honeypot) {
  if (!run->on) return;
  // The id ties the outcome line to the record and the JSON answer.
  end->suffixes.show_id = true;
  add_result(run, *end, honeypot);
  if (end->suffixes.language != nullptr) run->record.language = own(run, end->suffixes.language);
  if (!run->failed && !run->opened) {
    run->opened =
        archive_open(settings, g_program.ini_path, wait_ms(*run, settings), &run->archive);
    if (!run->opened) note_failure(run);
  }
  if (!run->failed && !archive_record_result(&run->archive, run->record)) note_failure(run);
  if (!run->failed) purge_when_due(run, settings);
  archive_close(&run->archive);
  if (run->failed) {
    char why[300];
    if (archive_keep_waiting(settings, g_program.ini_path, run->record, why, sizeof why)) {
      log_event(LOG_ERROR, "%s; the record waits in the spool for -resend.", run->error);
    } else {
      log_event(LOG_ERROR, "%s; not archived (%s).", run->error, why);
    }
    end->suffixes.not_archived = true;
  }
  for (int i = 0; i < run->record.file_count; ++i) free(const_cast<char*>(run->files[i].data));
  free(run->files);
  for (int i = 0; i < run->owned_count; ++i) free(run->owned[i]);
  *run = ArchiveRun{};
}

void archive_run_webhooks(ArchiveRun* run, const WebhookReport& report) {
  if (!run->on || report.count == 0) return;
  static const char* const kEnds[] = {"delivered", "kept", "gone", "failed"};
  TextBuffer* json = text_buffer_new("[");
  for (int i = 0; i < report.count; ++i) {
    const WebhookResult& result = report.results[i];
    text_buffer_append(json, "%s{\"webhook\": %d, \"result\": \"%s\", \"status\": %d, "
                       "\"ms\": %lld", i > 0 ? ", " : "", i + 1,
                       kEnds[static_cast<int>(result.end)], result.status, result.elapsed_ms);
    if (result.detail[0] != '\0') {
      text_buffer_append(json, ", \"detail\": ");
      json_append_string(json, result.detail, strlen(result.detail));
    }
    text_buffer_append(json, "}");
  }
  text_buffer_append(json, "]");
  run->record.webhooks = own(run, json->data);
  text_buffer_free(json);
}
