#include "deliver/spool_file.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/calendar.h"
#include "base/program.h"
#include "base/text.h"

namespace {

constexpr char kMagicLine[] = "QUILLON spool 1";
constexpr char kMagicLine2[] = "QUILLON spool 2";
constexpr size_t kStampLength = 23;  // "20260107T134501.123456Z"

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

bool digits(const char* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

int number(const char* text, size_t count) {
  int value = 0;
  for (size_t i = 0; i < count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

bool valid_address(const char* text, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '_' || c == '-' || c == '+' || c == '@';
    if (!allowed) return false;
  }
  return true;
}

bool line_is(const char* line, size_t length, const char* text) {
  return length == strlen(text) && memcmp(line, text, length) == 0;
}

bool chars_in(const char* text, size_t length, const char* allowed) {
  for (size_t i = 0; i < length; ++i) {
    if (strchr(allowed, text[i]) == nullptr || text[i] == '\0') return false;
  }
  return true;
}

// The shared state's facts: "client: ADDRESS" and "duplicate: DIGEST".
// Returns null when the line was one of them and took effect, kNotMine when
// it is none of them, else why the file is refused.
const char kNotMine[] = "";
const char* judge_line(const char* line, size_t length, SpoolMessage* out) {
  static const char kClient[] = "client: ";
  static const char kDuplicate[] = "duplicate: ";
  size_t client = sizeof kClient - 1;
  size_t duplicate = sizeof kDuplicate - 1;
  if (length > client && memcmp(line, kClient, client) == 0) {
    size_t value = length - client;
    if (out->client != nullptr || value > 64 ||
        !chars_in(line + client, value, "0123456789abcdefABCDEF.:")) {
      return "its client line is repeated or not an IP address";
    }
    out->client = copy_bytes_or_die(line + client, value, kOutOfMemory);
    return nullptr;
  }
  if (length > duplicate && memcmp(line, kDuplicate, duplicate) == 0) {
    size_t value = length - duplicate;
    if (out->duplicate[0] != '\0' || value != sizeof out->duplicate - 1 ||
        !chars_in(line + duplicate, value, "0123456789abcdef")) {
      return "its duplicate line is repeated or not a digest";
    }
    memcpy(out->duplicate, line + duplicate, value);
    out->duplicate[value] = '\0';
    return nullptr;
  }
  if (line_is(line, length, "judge: shared_state")) {
    out->judge_shared_state = true;
    return nullptr;
  }
  return kNotMine;
}

// One envelope line after the first (without its line end). Returns null
// when it took effect, else why the file is refused.
const char* envelope_line(const char* line, size_t line_length, SpoolMessage* out,
                          bool* have_ending) {
  static const struct {
    const char* key;
    char* SpoolMessage::*slot;
  } kKeys[] = {{"mail-from: ", &SpoolMessage::from},
               {"rcpt-to: ", &SpoolMessage::to},
               {"rcpt-cc: ", &SpoolMessage::cc},
               {"rcpt-bcc: ", &SpoolMessage::bcc}};
  for (const auto& key : kKeys) {
    size_t key_length = strlen(key.key);
    if (line_length < key_length || memcmp(line, key.key, key_length) != 0) continue;
    const char* value = line + key_length;
    size_t value_length = line_length - key_length;
    if (out->*key.slot != nullptr || !valid_address(value, value_length)) {
      return "an envelope address is repeated or not an address";
    }
    out->*key.slot = copy_bytes_or_die(value, value_length, kOutOfMemory);
    return nullptr;
  }
  if (line_is(line, line_length, "scan: pending")) {
    out->scan_pending = true;
    return nullptr;
  }
  // A quarantined copy's lines, each at most once.
  static const struct {
    const char* key;
    size_t size;
    size_t offset;
  } kVerdictKeys[] = {
      {"verdict: ", sizeof out->verdict, offsetof(SpoolMessage, verdict)},
      {"mark: ", sizeof out->mark, offsetof(SpoolMessage, mark)},
      {"reasons: ", sizeof out->reasons, offsetof(SpoolMessage, reasons)},
      {"score: ", sizeof out->score, offsetof(SpoolMessage, score)},
      {"time: ", sizeof out->time, offsetof(SpoolMessage, time)},
  };
  for (const auto& key : kVerdictKeys) {
    size_t key_length = strlen(key.key);
    if (line_length < key_length || memcmp(line, key.key, key_length) != 0) continue;
    char* slot = reinterpret_cast<char*>(out) + key.offset;
    if (slot[0] != '\0') return "a verdict line is repeated";
    snprintf(slot, key.size, "%.*s", static_cast<int>(line_length - key_length),
             line + key_length);
    return nullptr;
  }
  const char* judged = judge_line(line, line_length, out);
  if (judged != kNotMine) return judged;
  static const char kEnding[] = "line-ending: ";
  size_t ending_length = sizeof kEnding - 1;
  if (line_length > ending_length && memcmp(line, kEnding, ending_length) == 0) {
    const char* value = line + ending_length;
    size_t value_length = line_length - ending_length;
    if (value_length == 2 && memcmp(value, "LF", 2) == 0) {
      out->line_ending = "\n";
      *have_ending = true;
      return nullptr;
    }
    if (value_length == 4 && memcmp(value, "CRLF", 4) == 0) {
      out->line_ending = "\r\n";
      *have_ending = true;
      return nullptr;
    }
  }
  return "an envelope line is not understood";
}

// The next line from *at (without its line end, a CR before the LF cut),
// *at moved past it. False when no line end is left.
bool next_line(const char** at, const char* end, const char** line, size_t* length) {
  const char* eol = static_cast<const char*>(memchr(*at, '\n', static_cast<size_t>(end - *at)));
  if (eol == nullptr) return false;
  *line = *at;
  *length = static_cast<size_t>(eol - *at);
  if (*length > 0 && (*line)[*length - 1] == '\r') --*length;
  *at = eol + 1;
  return true;
}

// The value of format 2's destination line into `out`.
void take_destination(const char* value, size_t length, SpoolMessage* out) {
  snprintf(out->destination_text, sizeof out->destination_text, "%.*s",
           static_cast<int>(length), value);
  out->destination = SpoolDestination::kUnknown;
  if (line_is(value, length, "mail")) out->destination = SpoolDestination::kMail;
  if (line_is(value, length, "record")) out->destination = SpoolDestination::kRecord;
  static const char kWebhook[] = "webhook ";
  size_t prefix = sizeof kWebhook - 1;
  size_t count = length > prefix ? length - prefix : 0;
  if (count > 0 && count <= 4 && memcmp(value, kWebhook, prefix) == 0 &&
      digits(value + prefix, count)) {
    out->destination = SpoolDestination::kWebhook;
    out->webhook = number(value + prefix, count);
  }
}

// The first line, and format 2's destination line; *at moves past them.
// Returns null or why the file is refused.
const char* parse_head(const char** at, const char* end, SpoolMessage* out) {
  const char* line = nullptr;
  size_t length = 0;
  bool read = next_line(at, end, &line, &length);
  if (read && line_is(line, length, kMagicLine)) return nullptr;
  if (!read || !line_is(line, length, kMagicLine2)) {
    return read ? "it does not begin with \"QUILLON spool 1\"" : "its envelope has no end";
  }
  static const char kDestination[] = "destination: ";
  size_t prefix = sizeof kDestination - 1;
  if (!next_line(at, end, &line, &length) || length <= prefix ||
      memcmp(line, kDestination, prefix) != 0) {
    return "its second line does not name a destination";
  }
  take_destination(line + prefix, length - prefix, out);
  return nullptr;
}

// The envelope lines up to the empty line; *at moves past it. Returns null
// or why the file is refused.
const char* parse_envelope(const char** at, const char* end, SpoolMessage* out) {
  bool have_ending = false;
  for (;;) {
    const char* line = nullptr;
    size_t line_length = 0;
    if (!next_line(at, end, &line, &line_length)) return "its envelope has no end";
    if (line_length == 0) break;
    const char* why = envelope_line(line, line_length, out, &have_ending);
    if (why != nullptr) return why;
  }
  if (out->from == nullptr || out->to == nullptr || !have_ending) {
    return "its envelope lacks mail-from, rcpt-to or line-ending";
  }
  return nullptr;
}

// The header block has no empty line in it: the first one ends it.
// With `body_at`, the body is not copied: *body_at is its start.
const char* split_message(const char* message, size_t message_length, SpoolMessage* out,
                          size_t* body_at = nullptr) {
  const char* eol = out->line_ending;
  size_t eol_length = strlen(eol);
  size_t header_length = 0;
  size_t body_start = 0;
  if (message_length >= eol_length && memcmp(message, eol, eol_length) == 0) {
    body_start = eol_length;
  } else {
    bool found = false;
    for (size_t i = 0; i + 2 * eol_length <= message_length && !found; ++i) {
      if (memcmp(message + i, eol, eol_length) == 0 &&
          memcmp(message + i + eol_length, eol, eol_length) == 0) {
        header_length = i + eol_length;
        body_start = i + 2 * eol_length;
        found = true;
      }
    }
    if (!found) return "its message has no empty line after the headers";
  }
  out->header_block = copy_bytes_or_die(message, header_length, kOutOfMemory);
  if (body_at != nullptr) {
    *body_at = body_start;
    out->body = copy_bytes_or_die("", 0, kOutOfMemory);
    return nullptr;
  }
  out->body = copy_bytes_or_die(message + body_start, message_length - body_start, kOutOfMemory);
  return nullptr;
}

}  // namespace

const char* spool_line_ending_name(const char* line_ending) {
  return strcmp(line_ending, "\r\n") == 0 ? "CRLF" : "LF";
}

char* spool_format(const SpoolMessage& message, size_t* length) {
  TextBuffer* file = text_buffer_new("");
  if (message.scan_pending || message.judge_shared_state) {
    text_buffer_append(file, "%s\ndestination: mail\n", kMagicLine2);
  } else {
    text_buffer_append(file, "%s\n", kMagicLine);
  }
  if (message.scan_pending) text_buffer_append(file, "scan: pending\n");
  if (message.judge_shared_state) {
    text_buffer_append(file, "judge: shared_state\n");
    if (message.client != nullptr) text_buffer_append(file, "client: %s\n", message.client);
    if (message.duplicate[0] != '\0') {
      text_buffer_append(file, "duplicate: %s\n", message.duplicate);
    }
  }
  text_buffer_append(file, "line-ending: %s\nmail-from: %s\nrcpt-to: %s\n",
                     spool_line_ending_name(message.line_ending), or_empty(message.from),
                     or_empty(message.to));
  if (message.bcc != nullptr) text_buffer_append(file, "rcpt-bcc: %s\n", message.bcc);
  if (message.cc != nullptr) text_buffer_append(file, "rcpt-cc: %s\n", message.cc);
  text_buffer_append(file, "\n%s%s%s", or_empty(message.header_block), message.line_ending,
                     or_empty(message.body));
  char* data = file->data;
  *length = static_cast<size_t>(file->length);
  free(file);
  return data;
}

void spool_time_text(long long seconds, char* out, size_t size) {
  utc_time_text(seconds, out, size);
}

char* spool_format_quarantined(const SpoolMessage& message, const SpoolVerdict& verdict,
                               size_t* length) {
  size_t rest_length = 0;
  char* rest = spool_format(message, &rest_length);
  const char* envelope = strchr(rest, '\n') + 1;
  char when[24];
  spool_time_text(verdict.seconds, when, sizeof when);
  TextBuffer* file = text_buffer_new("");
  text_buffer_append(file, "%s\ndestination: mail\nverdict: %s\nmark: %s\nreasons: ", kMagicLine2,
                     verdict.verdict, verdict.mark);
  // One line whatever the reasons hold.
  for (const char* at = or_empty(verdict.reasons); *at != '\0'; ++at) {
    char c = *at == '\r' || *at == '\n' ? ' ' : *at;
    text_buffer_append_bytes(file, &c, 1);
  }
  text_buffer_append(file, "\n");
  if (verdict.score != nullptr) text_buffer_append(file, "score: %s\n", verdict.score);
  text_buffer_append(file, "time: %s\n", when);
  text_buffer_append_bytes(file, envelope, static_cast<int>(rest_length - (envelope - rest)));
  free(rest);
  char* data = file->data;
  *length = static_cast<size_t>(file->length);
  free(file);
  return data;
}

void spool_message_free(SpoolMessage* message) {
  free(message->from);
  free(message->to);
  free(message->cc);
  free(message->bcc);
  free(message->header_block);
  free(message->body);
  free(message->client);
  *message = SpoolMessage();
}

bool spool_parse(const char* data, size_t length, SpoolMessage* out, const char** why) {
  return spool_parse_head(data, length, out, nullptr, why);
}

bool spool_parse_head(const char* data, size_t length, SpoolMessage* out, size_t* body_at,
                      const char** why) {
  *out = SpoolMessage();
  out->line_ending = "\n";
  const char* at = data;
  const char* problem = nullptr;
  if (memchr(data, '\0', length) != nullptr) {
    problem = "it holds a NUL byte";
  } else {
    problem = parse_head(&at, data + length, out);
    // The rest of another destination's file is not the mail's to read.
    if (problem == nullptr && out->destination != SpoolDestination::kMail) return true;
    if (problem == nullptr) problem = parse_envelope(&at, data + length, out);
  }
  size_t body_start = 0;
  if (problem == nullptr) {
    problem = split_message(at, static_cast<size_t>(data + length - at), out,
                            body_at != nullptr ? &body_start : nullptr);
  }
  if (problem == nullptr && body_at != nullptr) {
    *body_at = static_cast<size_t>(at - data) + body_start;
  }
  if (problem == nullptr) return true;
  *why = problem;
  spool_message_free(out);
  out->line_ending = "\n";
  return false;
}

bool spool_parse_name(const char* name, bool folder, SpoolName* out) {
  *out = SpoolName();
  size_t length = strlen(name);
  // 20260107T134501.123456Z_
  if (length < kStampLength + 1 || !digits(name, 8) || name[8] != 'T' || !digits(name + 9, 6) ||
      name[15] != '.' || !digits(name + 16, 6) || name[22] != 'Z' || name[23] != '_') {
    return false;
  }
  int month = number(name + 4, 2);
  int day = number(name + 6, 2);
  int hour = number(name + 9, 2);
  int minute = number(name + 11, 2);
  int second = number(name + 13, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  out->seconds = days_from_civil(number(name, 4), month, day) * 86400LL + hour * 3600LL +
                 minute * 60LL + second;
  const char* host = name + kStampLength + 1;
  const char* host_end = strchr(host, '_');
  if (host_end == nullptr || host_end == host ||
      static_cast<size_t>(host_end - host) >= sizeof out->host) {
    return false;
  }
  memcpy(out->host, host, static_cast<size_t>(host_end - host));
  out->host[host_end - host] = '\0';
  const char* pid = host_end + 1;
  size_t pid_length = strspn(pid, "0123456789");
  if (pid_length == 0 || pid_length > 9 || pid[pid_length] != '_') return false;
  out->pid = number(pid, pid_length);
  const char* random = pid + pid_length + 1;
  size_t random_length = strspn(random, "0123456789abcdef");
  if (random_length != 16) return false;
  const char* rest = random + random_length;
  out->base_length = static_cast<size_t>(rest - name);
  if (folder) return *rest == '\0';
  if (strcmp(rest, "_new.txt") == 0) {
    out->attempts = -1;
    return true;
  }
  if (*rest != '_') return false;
  size_t count_length = strspn(rest + 1, "0123456789");
  if (count_length == 0 || count_length > 4 || strcmp(rest + 1 + count_length, ".txt") != 0) {
    return false;
  }
  out->attempts = number(rest + 1, count_length);
  return true;
}

void spool_host_part(const char* raw, char* out, size_t size) {
  char clean[256];
  snprintf(clean, sizeof clean, "%s", raw);
  size_t length = strlen(clean);
  for (size_t i = 0; i < length; ++i) {
    char c = clean[i];
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-';
    if (!keep) clean[i] = '-';
  }
  if (length == 0) {
    snprintf(out, size, "host");
  } else if (length <= kSpoolHostPart) {
    snprintf(out, size, "%s", clean);
  } else {
    // Two long names that share their start must still differ.
    unsigned hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
      hash = (hash ^ static_cast<unsigned char>(clean[i])) * 16777619u;
    }
    snprintf(out, size, "%.*s-%08x", static_cast<int>(kSpoolHostPart - 9), clean, hash);
  }
}

void spool_base_name(long long unix_us, const char* host, int pid,
                     const unsigned char random[8], char* out, size_t size) {
  long long seconds = unix_us / 1000000LL;
  long long y;
  int m, d;
  civil_from_days(seconds / 86400, &y, &m, &d);
  long long of_day = seconds % 86400;
  char hex[17];
  for (int i = 0; i < 8; ++i) snprintf(hex + 2 * i, 3, "%02x", random[i]);
  snprintf(out, size, "%04lld%02d%02dT%02lld%02lld%02lld.%06lldZ_%s_%d_%s", y, m, d,
           of_day / 3600, of_day / 60 % 60, of_day % 60, unix_us % 1000000LL, host, pid, hex);
}

// Between a hook file's NAME and its webhook's number.
constexpr char kHookSuffix[] = "_hook";

void hook_file_name(const char* base, int webhook, char* out, size_t size) {
  snprintf(out, size, "%s%s%d.txt", base, kHookSuffix, webhook);
}

bool hook_file_name_parse(const char* name, size_t* base_length) {
  const char* suffix = strstr(name, kHookSuffix);
  if (suffix == nullptr) return false;
  const char* number = suffix + sizeof kHookSuffix - 1;
  size_t digits = strspn(number, "0123456789");
  if (digits == 0 || digits > 4 || strcmp(number + digits, ".txt") != 0) return false;
  char base[kSpoolNameSize];
  size_t length = static_cast<size_t>(suffix - name);
  if (length >= sizeof base) return false;
  memcpy(base, name, length);
  base[length] = '\0';
  SpoolName parsed;
  if (!spool_parse_name(base, /*folder=*/true, &parsed)) return false;
  *base_length = length;
  return true;
}
