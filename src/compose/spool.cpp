#include "compose/spool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "base/text.h"
#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "platform/os.h"
#include "smtp/dialogue.h"
#include "smtp/transport.h"

namespace {

constexpr char kMagicLine[] = "QUILLON spool 1";
constexpr size_t kMaxSpoolFile = 16u * 1024u * 1024u;
constexpr size_t kHostPart = 40;  // longer host names are cut and hashed
constexpr size_t kStampLength = 23;  // "20260107T134501.123456Z"

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

// A heap "a/b" (or "a/b/c").
char* path_join(const char* a, const char* b, const char* c = nullptr) {
  size_t length = strlen(a) + 1 + strlen(b) + (c != nullptr ? 1 + strlen(c) : 0);
  char* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) fatal_reply("Unable to malloc memory");
  if (c != nullptr) {
    snprintf(path, length + 1, "%s/%s/%s", a, b, c);
  } else {
    snprintf(path, length + 1, "%s/%s", a, b);
  }
  return path;
}

// A test hook: with QUILLON_TEST_PAUSE_AT naming `step`, the run says so on
// standard error and waits a minute there, so that a test can kill it at
// exactly that point. The web server passes visitors' headers as HTTP_*
// variables only, so no visitor can set it.
void pause_at(const char* step) {
  const char* wanted = getenv("QUILLON_TEST_PAUSE_AT");
  if (wanted == nullptr || strcmp(wanted, step) != 0) return;
  fprintf(stderr, "paused at %s\n", step);
  fflush(stderr);
  os_sleep_ms(60000);
}

// ---- names ----

long long days_from_civil(long long y, int m, int d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  long long yoe = y - era * 400;
  long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(long long z, long long* y, int* m, int* d) {
  z += 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

long long now_seconds() { return os_unix_time_us() / 1000000LL; }

// The host part of names: letters, digits, "." and "-" (anything else
// becomes "-"), at most kHostPart characters.
void host_part(char* out, size_t size) {
  char raw[256];
  os_host_name(raw, sizeof raw);
  size_t length = strlen(raw);
  for (size_t i = 0; i < length; ++i) {
    char c = raw[i];
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-';
    if (!keep) raw[i] = '-';
  }
  if (length == 0) {
    snprintf(out, size, "host");
  } else if (length <= kHostPart) {
    snprintf(out, size, "%s", raw);
  } else {
    // Two long names that share their start must still differ.
    unsigned hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(raw[i])) * 16777619u;
    snprintf(out, size, "%.*s-%08x", static_cast<int>(kHostPart - 9), raw, hash);
  }
}

const char* this_host() {
  static char host[kHostPart + 1];
  if (host[0] == '\0') host_part(host, sizeof host);
  return host;
}

// "<UTC time>_<host>_<pid>_<random>" into `out` (at least 128 bytes).
void new_base_name(char* out, size_t size) {
  long long us = os_unix_time_us();
  long long seconds = us / 1000000LL;
  long long y;
  int m, d;
  civil_from_days(seconds / 86400, &y, &m, &d);
  long long of_day = seconds % 86400;
  unsigned char random[8];
  if (!os_random_bytes(random, sizeof random)) {
    // No random source: time and process id still tell runs apart, and
    // the counter tells apart the names of one run.
    static unsigned counter = 0;
    unsigned long long mix = static_cast<unsigned long long>(us) ^
                             (static_cast<unsigned long long>(os_pid()) << 32) ^ ++counter;
    memcpy(random, &mix, sizeof random);
  }
  char hex[17];
  for (int i = 0; i < 8; ++i) snprintf(hex + 2 * i, 3, "%02x", random[i]);
  snprintf(out, size, "%04lld%02d%02dT%02lld%02lld%02lld.%06lldZ_%s_%d_%s", y, m, d,
           of_day / 3600, of_day / 60 % 60, of_day % 60, us % 1000000LL, this_host(), os_pid(),
           hex);
}

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

// ---- paths of the spool ----

struct SpoolPaths {
  char* root;
  char* tmp;
  char* queue;
  char* sent;
  char* work;
  char* failed;
};

// A relative spool_folder is taken from the settings file's folder, so that
// the web server's runs and a -resend started elsewhere agree on it.
char* spool_root() {
  const char* folder = g_settings.spool_folder;
  if (os_path_is_absolute(folder)) return copy_text_or_die(folder, "Unable to malloc memory");
  const char* ini = g_program.ini_path;
  const char* slash = nullptr;
  for (const char* p = ini; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') slash = p;
  }
  if (slash == nullptr) return copy_text_or_die(folder, "Unable to malloc memory");
  char* dir = copy_bytes_or_die(ini, static_cast<size_t>(slash - ini), "Unable to malloc memory");
  char* root = path_join(dir, folder);
  free(dir);
  return root;
}

void paths_fill(SpoolPaths* paths) {
  paths->root = spool_root();
  paths->tmp = path_join(paths->root, "tmp");
  paths->queue = path_join(paths->root, "queue");
  paths->sent = path_join(paths->root, "sent");
  paths->work = path_join(paths->root, "work");
  paths->failed = path_join(paths->root, "failed");
}

void paths_free(SpoolPaths* paths) {
  free(paths->root);
  free(paths->tmp);
  free(paths->queue);
  free(paths->sent);
  free(paths->work);
  free(paths->failed);
  *paths = SpoolPaths();
}

// Creates a folder unless it is there. Returns 0 or the error.
int ensure_folder(const char* path) {
  int err = os_make_directory(path);
  if (err == 0) return 0;
  if (os_is_directory(path)) return 0;
  return err == EEXIST ? ENOTDIR : err;
}

// The folders every run needs; the first that fails names itself in *which.
int ensure_folders(const SpoolPaths& paths, const char** which) {
  const char* needed[] = {paths.root, paths.tmp, paths.queue, paths.sent};
  for (const char* path : needed) {
    int err = ensure_folder(path);
    if (err != 0) {
      *which = path;
      return err;
    }
  }
  return 0;
}

// ---- a message leaving the spool ----

// What the accepted hook needs to take a message out of the spool.
struct Delivery {
  const SpoolPaths* paths;
  const char* file;     // where the message is now
  const char* base;     // NAME, for sent/NAME.txt
  bool delivered;       // the server took it
  bool out_of_spool;    // ...and the file has left queue/ and work/
};

// Moves a message the server took to sent/ (or deletes it). Whatever
// happens, it must not stay where a resend would send it again.
void take_out_delivered(Delivery* delivery) {
  const char* file = delivery->file;
  if (g_settings.spool_keep_sent) {
    char sent_name[160];
    snprintf(sent_name, sizeof sent_name, "%s.txt", delivery->base);
    char* sent = path_join(delivery->paths->sent, sent_name);
    int err = ensure_folder(delivery->paths->sent);
    if (err == 0) err = os_rename_noreplace(file, sent);
    free(sent);
    if (err == 0) {
      log_event(LOG_DEBUG, "spool: {%s} moved to sent/.", sent_name);
      delivery->out_of_spool = true;
      return;
    }
    log_event(LOG_ERROR, "spool: {%s} was sent but cannot be moved to sent/ (%d: %s); deleting it.",
              file, err, strerror(err));
  }
  int err = os_remove_file(file);
  if (err == 0) {
    log_event(LOG_DEBUG, "spool: {%s} deleted after it was sent.", file);
    delivery->out_of_spool = true;
    return;
  }
  log_event(LOG_ERROR, "spool: {%s} was sent but cannot be deleted (%d: %s); it may be sent again.",
            file, err, strerror(err));
}

void on_accepted(void* context) {
  Delivery* delivery = static_cast<Delivery*>(context);
  delivery->delivered = true;
  take_out_delivered(delivery);
}

// How a dialogue that did not deliver ended.
enum class Failure { kNone, kNoConnection, kTimedOut, kRefused };

const char* failure_text(Failure failure) {
  switch (failure) {
    case Failure::kNoConnection: return "the server did not respond";
    case Failure::kTimedOut: return "the server did not answer in time";
    case Failure::kRefused: return "the server did not take the message";
    case Failure::kNone: break;
  }
  return "";
}

// smtp_dialogue with the accepted hook set; the server text is copied,
// since the dialogue cuts it at the colon.
Failure spooled_dialogue(Delivery* delivery, const char* from, const char* to,
                         const char* header_block, const char* body, int* result) {
  char* server = g_settings.smtp != nullptr
                     ? copy_text_or_die(g_settings.smtp, "Unable to malloc memory")
                     : nullptr;
  // The blocks came from a form: in the log every line break of theirs is
  // escaped, so none of their text can start a log line.
  TextBuffer* header_shown = text_buffer_new("");
  TextBuffer* body_shown = text_buffer_new("");
  log_escape_append(header_shown, header_block, strlen(header_block));
  log_escape_append(body_shown, body, strlen(body));
  smtp_on_accepted(on_accepted, delivery);
  *result = smtp_dialogue(server, from, to, header_block, body, header_shown->data,
                          body_shown->data);
  smtp_on_accepted(nullptr, nullptr);
  text_buffer_free(header_shown);
  text_buffer_free(body_shown);
  free(server);
  if (*result != 0 || delivery->delivered) return Failure::kNone;
  if (g_smtp.socket == kNoSocket) return Failure::kNoConnection;
  return g_smtp.timed_out ? Failure::kTimedOut : Failure::kRefused;
}

// ---- this run's message (CGI) ----

struct RunState {
  bool kept;     // on disk in queue/
  bool waiting;  // ...and still there after the dialogue
};
RunState g_run;

const char* line_ending_name(const char* line_ending) {
  return strcmp(line_ending, "\r\n") == 0 ? "CRLF" : "LF";
}

// Writes tmp/NAME.txt, flushed to disk, and renames it to queue/NAME_new.txt.
// Returns 0 or the error, with the step and path that failed.
int keep_message(const SpoolPaths& paths, const char* base, const char* data, size_t length,
                 char** queued, const char** step, char** where) {
  char name[160];
  snprintf(name, sizeof name, "%s.txt", base);
  char* tmp = path_join(paths.tmp, name);
  int err = os_write_new_file(tmp, data, length, true);
  if (err != 0) {
    os_remove_file(tmp);
    *step = "write";
    *where = tmp;
    return err;
  }
  pause_at("spool-written");
  snprintf(name, sizeof name, "%s_new.txt", base);
  char* queue = path_join(paths.queue, name);
  err = os_rename_noreplace(tmp, queue);
  if (err != 0) {
    os_remove_file(tmp);
    free(queue);
    *step = "rename into queue/";
    *where = tmp;
    return err;
  }
  free(tmp);
  // The rename itself must survive a power cut too.
  err = os_flush_directory(paths.queue);
  if (err != 0) {
    log_event(LOG_ERROR, "spool: queue/ {%s} cannot be flushed to disk (%d: %s).", paths.queue,
              err, strerror(err));
  }
  *queued = queue;
  return 0;
}

}  // namespace

// ---- the file format ----

char* spool_format(const SpoolMessage& message, size_t* length) {
  TextBuffer* file = text_buffer_new("");
  text_buffer_append(file, "%s\nline-ending: %s\nmail-from: %s\nrcpt-to: %s\n", kMagicLine,
                     line_ending_name(message.line_ending), or_empty(message.from),
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

void spool_message_free(SpoolMessage* message) {
  free(message->from);
  free(message->to);
  free(message->cc);
  free(message->bcc);
  free(message->header_block);
  free(message->body);
  *message = SpoolMessage();
}

static bool valid_address(const char* text, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!is_address_char(c) && c != '@') return false;
  }
  return true;
}

bool spool_parse(const char* data, size_t length, SpoolMessage* out, const char** why) {
  *out = SpoolMessage();
  out->line_ending = "\n";
  if (memchr(data, '\0', length) != nullptr) {
    *why = "it holds a NUL byte";
    return false;
  }
  const char* end = data + length;
  const char* at = data;
  bool first = true;
  bool have_ending = false;
  for (;;) {
    const char* eol = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    if (eol == nullptr) {
      *why = "its envelope has no end";
      spool_message_free(out);
      return false;
    }
    size_t line_length = static_cast<size_t>(eol - at);
    if (line_length > 0 && at[line_length - 1] == '\r') --line_length;
    const char* line = at;
    at = eol + 1;
    if (first) {
      if (line_length != strlen(kMagicLine) || memcmp(line, kMagicLine, line_length) != 0) {
        *why = "it does not begin with \"QUILLON spool 1\"";
        return false;
      }
      first = false;
      continue;
    }
    if (line_length == 0) break;
    static const struct {
      const char* key;
      char* SpoolMessage::*slot;
    } kKeys[] = {{"mail-from: ", &SpoolMessage::from},
                 {"rcpt-to: ", &SpoolMessage::to},
                 {"rcpt-cc: ", &SpoolMessage::cc},
                 {"rcpt-bcc: ", &SpoolMessage::bcc}};
    bool known = false;
    for (const auto& key : kKeys) {
      size_t key_length = strlen(key.key);
      if (line_length < key_length || memcmp(line, key.key, key_length) != 0) continue;
      known = true;
      const char* value = line + key_length;
      size_t value_length = line_length - key_length;
      if (out->*key.slot != nullptr || !valid_address(value, value_length)) {
        *why = "an envelope address is repeated or not an address";
        spool_message_free(out);
        return false;
      }
      out->*key.slot = copy_bytes_or_die(value, value_length, "Unable to malloc memory");
    }
    static const char kEnding[] = "line-ending: ";
    size_t ending_length = sizeof kEnding - 1;
    if (!known && line_length > ending_length && memcmp(line, kEnding, ending_length) == 0) {
      known = true;
      const char* value = line + ending_length;
      size_t value_length = line_length - ending_length;
      if (value_length == 2 && memcmp(value, "LF", 2) == 0) {
        out->line_ending = "\n";
      } else if (value_length == 4 && memcmp(value, "CRLF", 4) == 0) {
        out->line_ending = "\r\n";
      } else {
        known = false;
      }
      have_ending = known;
    }
    if (!known) {
      *why = "an envelope line is not understood";
      spool_message_free(out);
      return false;
    }
  }
  if (out->from == nullptr || out->to == nullptr || !have_ending) {
    *why = "its envelope lacks mail-from, rcpt-to or line-ending";
    spool_message_free(out);
    return false;
  }
  // The header block has no empty line in it: the first one ends it.
  const char* message = at;
  size_t message_length = static_cast<size_t>(end - at);
  const char* eol = out->line_ending;
  size_t eol_length = strlen(eol);
  size_t header_length = 0;
  size_t body_start = 0;
  if (message_length >= eol_length && memcmp(message, eol, eol_length) == 0) {
    body_start = eol_length;
  } else {
    bool found = false;
    for (size_t i = 0; i + 2 * eol_length <= message_length; ++i) {
      if (memcmp(message + i, eol, eol_length) == 0 &&
          memcmp(message + i + eol_length, eol, eol_length) == 0) {
        header_length = i + eol_length;
        body_start = i + 2 * eol_length;
        found = true;
        break;
      }
    }
    if (!found) {
      *why = "its message has no empty line after the headers";
      spool_message_free(out);
      return false;
    }
  }
  out->header_block = copy_bytes_or_die(message, header_length, "Unable to malloc memory");
  out->body = copy_bytes_or_die(message + body_start, message_length - body_start,
                                "Unable to malloc memory");
  return true;
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

// ---- a CGI run ----

int spool_and_send(char* server, const char* from, const char* to, const char* header_block,
                   const char* body, const char* header_shown, const char* body_shown) {
  g_run = RunState();
  if (g_settings.spool_folder == nullptr) {
    return smtp_dialogue(server, from, to, header_block, body, header_shown, body_shown);
  }
  SpoolPaths paths;
  paths_fill(&paths);
  char base[128];
  new_base_name(base, sizeof base);

  SpoolMessage message = {message_line_ending(), const_cast<char*>(from),
                          const_cast<char*>(to), g_envelope.cc, g_envelope.bcc,
                          const_cast<char*>(header_block), const_cast<char*>(body)};
  size_t length = 0;
  char* data = spool_format(message, &length);
  const char* which = nullptr;
  const char* step = "create";
  char* where = nullptr;
  char* queued = nullptr;
  int err = ensure_folders(paths, &which);
  if (err == 0) err = keep_message(paths, base, data, length, &queued, &step, &where);
  free(data);
  if (err != 0) {
    log_event(LOG_ERROR,
              "spool: cannot keep the message in {%s}: %s {%s} failed (%d: %s); sending it "
              "without a copy.",
              paths.root, step, where != nullptr ? where : which, err, strerror(err));
    free(where);
    paths_free(&paths);
    return smtp_dialogue(server, from, to, header_block, body, header_shown, body_shown);
  }
  g_run.kept = true;
  log_event(LOG_DEBUG, "spool: message kept as {%s}.", queued);
  pause_at("spool-queued");

  Delivery delivery = {&paths, queued, base, false, false};
  smtp_on_accepted(on_accepted, &delivery);
  int result = smtp_dialogue(server, from, to, header_block, body, header_shown, body_shown);
  smtp_on_accepted(nullptr, nullptr);
  if (delivery.delivered) {
    pause_at("spool-sent");
  } else {
    // Tried once: a failure counts when the server was reached.
    bool counted = g_smtp.socket != kNoSocket;
    char name[160];
    snprintf(name, sizeof name, "%s_%d.txt", base, counted ? 1 : 0);
    char* tried = path_join(paths.queue, name);
    err = os_rename_noreplace(queued, tried);
    if (err != 0) {
      // NAME_new.txt is taken up by a resend once this run has ended.
      log_event(LOG_ERROR, "spool: {%s} cannot be renamed to {%s} (%d: %s).", queued, name, err,
                strerror(err));
    } else {
      log_event(LOG_DEBUG, "spool: {%s} waits in the queue.", name);
    }
    free(tried);
    g_run.waiting = true;
  }
  free(queued);
  paths_free(&paths);
  return result;
}

bool spool_waiting() { return g_run.kept && g_run.waiting; }

// ---- the -resend command ----

namespace {

struct NameList {
  char** names;
  int count;
  int capacity;
};

void collect_name(const char* name, void* context) {
  NameList* list = static_cast<NameList*>(context);
  if (list->count == list->capacity) {
    int capacity = list->capacity == 0 ? 64 : list->capacity * 2;
    char** grown = static_cast<char**>(realloc(list->names, sizeof(char*) * capacity));
    if (grown == nullptr) fatal_reply("Unable to malloc memory");
    list->names = grown;
    list->capacity = capacity;
  }
  list->names[list->count++] = copy_text_or_die(name, "Unable to malloc memory");
}

int compare_names(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

// The entries of a folder, sorted by name; files whose name begins with "."
// (left by editors and file browsers) are not the spool's and are left out.
int list_sorted(const char* folder, NameList* list) {
  *list = NameList();
  int err = os_list_directory(folder, collect_name, list);
  int kept = 0;
  for (int i = 0; i < list->count; ++i) {
    if (list->names[i][0] == '.') {
      free(list->names[i]);
    } else {
      list->names[kept++] = list->names[i];
    }
  }
  list->count = kept;
  if (list->count > 1) qsort(list->names, static_cast<size_t>(list->count), sizeof(char*), compare_names);
  return err;
}

void free_names(NameList* list) {
  for (int i = 0; i < list->count; ++i) free(list->names[i]);
  free(list->names);
  *list = NameList();
}

long long claim_timeout() {
  long long by_timeout = 20LL * g_settings.smtp_timeout;
  return by_timeout > kSpoolMinClaimSeconds ? by_timeout : kSpoolMinClaimSeconds;
}

// Whether the run named by `name` (a queue/ or work/ name) has surely ended:
// it ran on this machine and its process is gone.
bool writer_ended(const SpoolName& name) {
  return strcmp(name.host, this_host()) == 0 && !os_process_alive(name.pid);
}

struct Resend {
  SpoolPaths paths;
  char* mine;  // work/<this run>
  char mine_name[128];
  ResendReportFn report;
  void* context;
  ResendTally* tally;
};

void say(Resend* run, const char* name, const char* format, ...) QUILLON_PRINTF(3, 4);
void say(Resend* run, const char* name, const char* format, ...) {
  char outcome[400];
  va_list args;
  va_start(args, format);
  vsnprintf(outcome, sizeof outcome, format, args);
  va_end(args);
  run->report(name, outcome, run->context);
}

// Moves `from` to failed/NAME with one error line.
void give_up(Resend* run, const char* from, const char* name, const char* why) {
  char* failed = path_join(run->paths.failed, name);
  int err = ensure_folder(run->paths.failed);
  if (err == 0) err = os_rename_noreplace(from, failed);
  free(failed);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: {%s} %s, but cannot be moved to failed/ (%d: %s).", name, why,
              err, strerror(err));
    return;
  }
  log_event(LOG_ERROR, "resend: {%s} %s; moved to failed/.", name, why);
}

// Puts a message back into queue/ as NAME_<attempts>.txt. Returns 0 or the error.
int put_back(Resend* run, const char* from, const SpoolName& parsed, const char* name,
             int attempts, char* new_name, size_t new_name_size) {
  snprintf(new_name, new_name_size, "%.*s_%d.txt", static_cast<int>(parsed.base_length), name,
           attempts);
  char* queue = path_join(run->paths.queue, new_name);
  int err = os_rename_noreplace(from, queue);
  free(queue);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: {%s} cannot go back to the queue as {%s} (%d: %s).", from,
              new_name, err, strerror(err));
  }
  return err;
}

// Claims left in work/ by runs that ended (or that held them too long) go
// back to the queue, the interrupted try counted: it may have been the
// message that ended the run.
void release_claims(Resend* run) {
  NameList folders;
  list_sorted(run->paths.work, &folders);
  long long now = now_seconds();
  for (int i = 0; i < folders.count; ++i) {
    const char* folder_name = folders.names[i];
    if (strcmp(folder_name, run->mine_name) == 0) continue;
    SpoolName owner;
    if (!spool_parse_name(folder_name, true, &owner)) continue;
    bool ended = writer_ended(owner);
    char* folder = path_join(run->paths.work, folder_name);
    NameList files;
    list_sorted(folder, &files);
    for (int j = 0; j < files.count; ++j) {
      const char* name = files.names[j];
      char* file = path_join(folder, name);
      long long mtime = 0;
      bool stale = ended || (os_file_mtime(file, &mtime) == 0 && now - mtime > claim_timeout());
      SpoolName parsed;
      if (stale && spool_parse_name(name, false, &parsed)) {
        int attempts = parsed.attempts < 0 ? 1 : parsed.attempts + 1;
        char new_name[200];
        if (put_back(run, file, parsed, name, attempts, new_name, sizeof new_name) == 0) {
          log_event(LOG_ERROR, "resend: {%s} was held by the run {%s}, which %s; back in the queue as {%s}.",
                    name, folder_name, ended ? "has ended" : "held it too long", new_name);
        }
      } else if (stale) {
        give_up(run, file, name, "was held by a run that ended and has no spool name");
      }
      free(file);
    }
    free_names(&files);
    if (ended || now - owner.seconds > claim_timeout()) os_remove_directory(folder);
    free(folder);
  }
  free_names(&folders);
}

// Files a run left in tmp/ when it ended while writing them never reached
// the queue; after the claim time-out they go to failed/ for a person.
void clear_tmp(Resend* run) {
  NameList files;
  list_sorted(run->paths.tmp, &files);
  long long now = now_seconds();
  for (int i = 0; i < files.count; ++i) {
    char* file = path_join(run->paths.tmp, files.names[i]);
    long long mtime = 0;
    if (os_file_mtime(file, &mtime) == 0 && now - mtime > claim_timeout()) {
      give_up(run, file, files.names[i], "was left in tmp/ by a run that ended while writing it");
    }
    free(file);
  }
  free_names(&files);
}

// Reads a whole file (at most kMaxSpoolFile bytes). Heap text, or null with
// the reason, and *open_error set when the file could not be opened.
char* read_whole(const char* path, size_t* length, const char** why, int* open_error) {
  *open_error = 0;
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *open_error = errno != 0 ? errno : EIO;
    *why = strerror(*open_error);
    return nullptr;
  }
  size_t capacity = 65536;
  size_t used = 0;
  char* data = static_cast<char*>(malloc(capacity));
  if (data == nullptr) fatal_reply("Unable to malloc memory");
  for (;;) {
    if (used == capacity) {
      if (capacity >= kMaxSpoolFile) {
        fclose(file);
        free(data);
        *why = "it is larger than 16 MiB";
        return nullptr;
      }
      capacity *= 2;
      char* grown = static_cast<char*>(realloc(data, capacity));
      if (grown == nullptr) fatal_reply("Unable to malloc memory");
      data = grown;
    }
    size_t n = fread(data + used, 1, capacity - used, file);
    used += n;
    if (n == 0) break;
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    free(data);
    *why = "it cannot be read";
    return nullptr;
  }
  *length = used;
  return data;
}

void fill_envelope(const SpoolMessage& message) {
  envelope_reset();
  g_envelope.from = copy_text_or_die(message.from, "Unable to malloc memory");
  g_envelope.to = copy_text_or_die(message.to, "Unable to malloc memory");
  if (message.cc != nullptr) g_envelope.cc = copy_text_or_die(message.cc, "Unable to malloc memory");
  if (message.bcc != nullptr) g_envelope.bcc = copy_text_or_die(message.bcc, "Unable to malloc memory");
  g_envelope.subject_found = true;
}

// Sends one claimed message. Returns how its dialogue failed (kNone: sent,
// or the message is out of the queue for another reason).
Failure resend_claimed(Resend* run, const char* claimed, const char* name, const SpoolName& parsed) {
  const char* why = nullptr;
  size_t length = 0;
  char* data = nullptr;
  // On Windows a rename or a time stamp that another run began on the file
  // before it was claimed holds it for a moment: the open is tried again.
  for (int tries = 1;; ++tries) {
    int open_error = 0;
    data = read_whole(claimed, &length, &why, &open_error);
    if (open_error == ENOENT) {
      // Such a rename, begun before the claim, took the file along.
      say(run, name, "taken by another run");
      ++run->tally->others;
      return Failure::kNone;
    }
    if (data != nullptr || open_error == 0 || tries == 20) break;
    os_sleep_ms(50);
  }
  SpoolMessage message;
  bool readable = data != nullptr && spool_parse(data, length, &message, &why);
  free(data);
  if (!readable) {
    char reason[200];
    snprintf(reason, sizeof reason, "is not a readable spool file (%s)", why);
    give_up(run, claimed, name, reason);
    say(run, name, "moved to failed/ (not a readable spool file: %s)", why);
    ++run->tally->failed;
    return Failure::kNone;
  }
  if (now_seconds() - parsed.seconds > kSpoolMaxAgeSeconds) {
    give_up(run, claimed, name, "is older than 7 days");
    say(run, name, "moved to failed/ (older than 7 days)");
    ++run->tally->failed;
    spool_message_free(&message);
    return Failure::kNone;
  }

  // The commands end as the message's lines do, so the exchange is the one
  // the first run would have had.
  // The delivery settings were checked before the first message.
  (void)apply_smtp_settings();
  g_smtp.line_ending = message.line_ending;
  fill_envelope(message);
  log_event(LOG_DEBUG, "resend: sending {%s} to smtp server (%s) from: (%s) to: (%s)", name,
            g_settings.smtp != nullptr ? g_settings.smtp : "(null)", message.from, message.to);

  char base[160];
  snprintf(base, sizeof base, "%.*s", static_cast<int>(parsed.base_length), name);
  Delivery delivery = {&run->paths, claimed, base, false, false};
  int result = 0;
  Failure failure = spooled_dialogue(&delivery, message.from, message.to, message.header_block,
                                     message.body, &result);
  smtp_close();
  envelope_reset();
  spool_message_free(&message);
  if (delivery.delivered) {
    log_event(LOG_DEBUG, "resend: {%s} sent.", name);
    say(run, name, "sent");
    ++run->tally->sent;
    pause_at("resend-sent");
    return Failure::kNone;
  }

  int attempts = parsed.attempts < 0 ? 0 : parsed.attempts;
  if (failure != Failure::kNoConnection) ++attempts;
  if (attempts >= kSpoolMaxAttempts) {
    char reason[200];
    snprintf(reason, sizeof reason, "failed %d times (last: %s)", attempts, failure_text(failure));
    char failed_name[200];
    snprintf(failed_name, sizeof failed_name, "%s_%d.txt", base, attempts);
    give_up(run, claimed, failed_name, reason);
    say(run, name, "moved to failed/ (%s)", reason);
    ++run->tally->failed;
    return failure;
  }
  char new_name[200];
  if (put_back(run, claimed, parsed, name, attempts, new_name, sizeof new_name) != 0) {
    say(run, name, "not sent (%s), and it cannot go back to the queue: see the log",
        failure_text(failure));
    ++run->tally->others;
    return failure;
  }
  log_event(LOG_DEBUG, "resend: {%s} not sent (%s); back in the queue as {%s}.", name,
            failure_text(failure), new_name);
  say(run, name, "kept in the queue as %s (%s; %d of %d attempts)", new_name,
      failure_text(failure), attempts, kSpoolMaxAttempts);
  ++run->tally->kept;
  return failure;
}

// Claims queue/NAME by renaming it into this run's folder, which another
// run may have removed as stale; returns 0, ENOENT when another run took it.
int claim(Resend* run, const char* queued, const char* claimed) {
  // The claim's age is counted from now: the time is set before the file
  // shows in work/, where others judge it.
  int err = os_touch_file(queued);
  if (err == ENOENT) return err;
  err = os_rename_noreplace(queued, claimed);
  if (err == ENOENT && !os_is_directory(run->mine) && os_make_directory(run->mine) == 0) {
    err = os_rename_noreplace(queued, claimed);
  }
  return err;
}

}  // namespace

bool spool_resend(ResendReportFn report, void* context, ResendTally* tally, char* error,
                  size_t error_size) {
  *tally = ResendTally();
  if (g_settings.spool_folder == nullptr) {
    snprintf(error, error_size, "no spool_folder line in the settings file %s", g_program.ini_path);
    return false;
  }
  Resend run = {};
  run.report = report;
  run.context = context;
  run.tally = tally;
  paths_fill(&run.paths);
  const char* which = nullptr;
  int err = ensure_folders(run.paths, &which);
  if (err == 0) {
    which = run.paths.work;
    err = ensure_folder(run.paths.work);
  }
  if (err == 0) {
    new_base_name(run.mine_name, sizeof run.mine_name);
    run.mine = path_join(run.paths.work, run.mine_name);
    which = run.mine;
    err = os_make_directory(run.mine);
  }
  if (err != 0) {
    snprintf(error, error_size, "the spool folder cannot be used: %s (%d: %s)", which, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
    free(run.mine);
    paths_free(&run.paths);
    return false;
  }
  log_event(LOG_DEBUG, "resend: spool {%s}, working in {%s}.", run.paths.root, run.mine_name);

  release_claims(&run);
  clear_tmp(&run);

  NameList queue;
  err = list_sorted(run.paths.queue, &queue);
  if (err != 0) {
    snprintf(error, error_size, "queue/ %s cannot be listed (%d: %s)", run.paths.queue, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
    free_names(&queue);
    os_remove_directory(run.mine);
    free(run.mine);
    paths_free(&run.paths);
    return false;
  }
  Failure stop = Failure::kNone;
  bool timed_out_before = false;
  for (int i = 0; i < queue.count; ++i) {
    const char* name = queue.names[i];
    if (stop != Failure::kNone) {
      say(&run, name, "not tried (%s)", failure_text(stop));
      ++tally->kept;
      continue;
    }
    char* queued = path_join(run.paths.queue, name);
    SpoolName parsed;
    if (!spool_parse_name(name, false, &parsed)) {
      give_up(&run, queued, name, "does not have a spool file name");
      say(&run, name, "moved to failed/ (not a spool file name)");
      ++tally->failed;
      free(queued);
      continue;
    }
    // A message its writer is still trying is left to it; one whose writer
    // ended, or that waits longer than any run can take, is fair game.
    if (parsed.attempts < 0 && !writer_ended(parsed) &&
        now_seconds() - parsed.seconds <= claim_timeout()) {
      say(&run, name, "left to the run that wrote it, which is still sending it");
      ++tally->others;
      free(queued);
      continue;
    }
    char* claimed = path_join(run.mine, name);
    err = claim(&run, queued, claimed);
    free(queued);
    if (err != 0) {
      if (err == ENOENT) {
        say(&run, name, "taken by another run");
      } else {
        log_event(LOG_ERROR, "resend: {%s} cannot be claimed (%d: %s).", name, err, strerror(err));
        say(&run, name, "not tried (it cannot be moved out of the queue: %s)", strerror(err));
      }
      ++tally->others;
      free(claimed);
      continue;
    }
    log_event(LOG_DEBUG, "resend: claimed {%s}.", name);
    pause_at("resend-claimed");
    Failure failure = resend_claimed(&run, claimed, name, parsed);
    free(claimed);
    // Nobody to talk to: the rest would fail alike. Two time-outs in a row
    // mean a stalled server rather than one message it chokes on.
    if (failure == Failure::kNoConnection) stop = failure;
    if (failure == Failure::kTimedOut && timed_out_before) stop = failure;
    timed_out_before = failure == Failure::kTimedOut;
  }
  free_names(&queue);
  os_remove_directory(run.mine);

  NameList left;
  // A queue that cannot be listed cannot be called empty.
  tally->waiting = list_sorted(run.paths.queue, &left) == 0 ? left.count : left.count + 1;
  free_names(&left);
  log_event(LOG_DEBUG, "resend: %d sent, %d kept, %d failed, %d with other runs; %d waiting.",
            tally->sent, tally->kept, tally->failed, tally->others, tally->waiting);
  free(run.mine);
  paths_free(&run.paths);
  return true;
}
