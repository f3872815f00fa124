// libpq reached through os_library_open: only the few functions of a
// non-blocking session, declared here with the client's own values so
// that its headers are not needed to build.
#include "db/pg_lib.h"

#include <cstdio>
#include <cstring>

#include "base/secret_file.h"
#include "platform/dynlib.h"
#include "platform/library.h"
#include "platform/os.h"

namespace {

constexpr char kLibrary[] = "libpq.so.5";
constexpr int kConnectionOk = 0;
constexpr int kPollingFailed = 0;
constexpr int kPollingReading = 1;
constexpr int kPollingOk = 3;
constexpr int kCommandOk = 1;
constexpr int kTuplesOk = 2;
constexpr int kSingleTuple = 9;
constexpr int kMaxColumns = 32;
constexpr size_t kPasswordLimit = 1024;

struct Client {
  bool tried;
  bool ready;
  char failure[kPgErrorSize];
  void* (*connect_start_params)(const char* const*, const char* const*, int);
  int (*connect_poll)(void*);
  int (*status)(const void*);
  int (*socket)(const void*);
  char* (*error_message)(const void*);
  void (*finish)(void*);
  int (*set_nonblocking)(void*, int);
  int (*send_query_params)(void*, const char*, int, const unsigned*, const char* const*,
                           const int*, const int*, int);
  int (*send_query)(void*, const char*);
  int (*flush)(void*);
  int (*consume_input)(void*);
  int (*is_busy)(void*);
  void* (*get_result)(void*);
  int (*result_status)(const void*);
  char* (*result_error_field)(const void*, int);
  int (*ntuples)(const void*);
  char* (*get_value)(const void*, int, int);
  int (*get_is_null)(const void*, int, int);
  int (*nfields)(const void*);
  int (*set_single_row_mode)(void*);
  void (*clear)(void*);
  int (*lib_version)();
};
Client g_client;

template <typename F>
bool bind(void* library, const char* name, F* slot) {
  void* address = os_library_symbol(library, name);
  if (address == nullptr) {
    snprintf(g_client.failure, sizeof g_client.failure,
             "PostgreSQL client library not available (%s: undefined symbol: %s)", kLibrary,
             name);
    return false;
  }
  *slot = reinterpret_cast<F>(address);
  return true;
}

bool load() {
  Client& c = g_client;
  char why[kPgErrorSize - 64];
  const char* const names[] = {kLibrary, nullptr};
  void* lib = os_library_open(names, why, sizeof why);
  if (lib == nullptr) {
    snprintf(c.failure, sizeof c.failure, "PostgreSQL client library not available (%s)", why);
    return false;
  }
  return bind(lib, "PQconnectStartParams", &c.connect_start_params) &&
         bind(lib, "PQconnectPoll", &c.connect_poll) && bind(lib, "PQstatus", &c.status) &&
         bind(lib, "PQsocket", &c.socket) && bind(lib, "PQerrorMessage", &c.error_message) &&
         bind(lib, "PQfinish", &c.finish) && bind(lib, "PQsetnonblocking", &c.set_nonblocking) &&
         bind(lib, "PQsendQueryParams", &c.send_query_params) &&
         bind(lib, "PQsendQuery", &c.send_query) && bind(lib, "PQflush", &c.flush) &&
         bind(lib, "PQconsumeInput", &c.consume_input) && bind(lib, "PQisBusy", &c.is_busy) &&
         bind(lib, "PQgetResult", &c.get_result) &&
         bind(lib, "PQresultStatus", &c.result_status) &&
         bind(lib, "PQresultErrorField", &c.result_error_field) &&
         bind(lib, "PQntuples", &c.ntuples) && bind(lib, "PQgetvalue", &c.get_value) &&
         bind(lib, "PQgetisnull", &c.get_is_null) && bind(lib, "PQclear", &c.clear) &&
         bind(lib, "PQnfields", &c.nfields) &&
         bind(lib, "PQsetSingleRowMode", &c.set_single_row_mode) &&
         bind(lib, "PQlibVersion", &c.lib_version);
}

// The client's message on one line: its lines joined, the end trimmed.
void client_words(const char* message, const char* before, char* error, size_t size) {
  char line[kPgErrorSize];
  size_t n = 0;
  for (const char* p = message != nullptr ? message : ""; *p != '\0' && n + 1 < sizeof line;
       ++p) {
    char c = *p == '\n' || *p == '\r' || *p == '\t' ? ' ' : *p;
    if (c == ' ' && (n == 0 || line[n - 1] == ' ')) continue;
    line[n++] = c;
  }
  while (n > 0 && line[n - 1] == ' ') --n;
  line[n] = '\0';
  snprintf(error, size, "%s%s", before, n > 0 ? line : "no reason given");
}

void timed_out(PgLink* link, const char* what, char* error, size_t size) {
  snprintf(error, size, "no answer from the database %s within the time given", what);
  pg_close(link);
}

// Reads the password file's first line into `out`.
bool read_password(const char* path, char* out, char* error, size_t size) {
  out[0] = '\0';
  if (path == nullptr || path[0] == '\0') return true;
  size_t length = 0;
  int open_error = 0;
  SecretLine got = secret_file_line(path, out, kPasswordLimit, &length, &open_error);
  if (got == SecretLine::kRead && strlen(out) == length) return true;
  const char* why = got == SecretLine::kCannotOpen  ? strerror(open_error)
                    : got == SecretLine::kTooLong   ? "its first line is too long"
                    : got == SecretLine::kEmpty     ? "its first line is empty"
                    : got == SecretLine::kRead      ? "its first line holds a NUL byte"
                                                    : "it cannot be read";
  snprintf(error, size, "database_password_file {%s} cannot be used: %s", path, why);
  memset(out, 0, kPasswordLimit + 1);
  return false;
}

// Polls the connection's start until it is made or the deadline comes.
bool finish_connect(PgLink* link, char* error, size_t size) {
  Client& c = g_client;
  int state = 2;  // writing: the first poll waits for the socket to be writable
  while (state != kPollingOk) {
    if (state == kPollingFailed) {
      client_words(c.error_message(link->conn), "cannot connect to the database: ", error, size);
      pg_close(link);
      return false;
    }
    int fd = c.socket(link->conn);
    int ready = fd < 0 ? -1 : os_wait_descriptor(fd, state != kPollingReading, link->deadline_ms);
    if (ready == 0) {
      timed_out(link, "while connecting", error, size);
      return false;
    }
    state = ready < 0 ? kPollingFailed : c.connect_poll(link->conn);
  }
  if (c.set_nonblocking(link->conn, 1) != 0) {
    client_words(c.error_message(link->conn), "cannot use the connection: ", error, size);
    pg_close(link);
    return false;
  }
  return true;
}

// Waits on the connection's socket; false (the link closed, why in
// `error`) when the deadline comes first or there is no socket.
bool wait_socket(PgLink* link, bool for_write, char* error, size_t size) {
  int fd = g_client.socket(link->conn);
  if (fd >= 0 && os_wait_descriptor(fd, for_write, link->deadline_ms) == 1) return true;
  if (fd < 0) {
    client_words(g_client.error_message(link->conn), "the database connection failed: ", error,
                 size);
    pg_close(link);
  } else {
    timed_out(link, "to a statement", error, size);
  }
  return false;
}

// Sends what the client holds.
bool send_all(PgLink* link, char* error, size_t size) {
  int flushed;
  while ((flushed = g_client.flush(link->conn)) == 1) {
    if (!wait_socket(link, true, error, size)) return false;
  }
  if (flushed == 0) return true;
  client_words(g_client.error_message(link->conn), "the database connection failed: ", error,
               size);
  pg_close(link);
  return false;
}

// Waits until the next result can be taken without blocking.
bool await_result(PgLink* link, char* error, size_t size) {
  Client& c = g_client;
  while (c.is_busy(link->conn)) {
    if (!wait_socket(link, false, error, size)) return false;
    if (!c.consume_input(link->conn)) {
      client_words(c.error_message(link->conn), "the database connection failed: ", error, size);
      pg_close(link);
      return false;
    }
  }
  return true;
}

// Why the server refused a statement: its primary message alone (the
// detail lines quote the statement), and its SQLSTATE into `state`.
void refused(PgLink* link, void* result, char* state, char* error, size_t size) {
  Client& c = g_client;
  const char* code = c.result_error_field(result, 'C');
  const char* primary = c.result_error_field(result, 'M');
  client_words(primary != nullptr ? primary : c.error_message(link->conn),
               "the database refused a statement: ", error, size);
  if (state != nullptr && code != nullptr) snprintf(state, 6, "%s", code);
}

// Takes every result of the statement; the first one's rows into `answer`.
bool collect(PgLink* link, PgAnswer* answer, char* error, size_t size) {
  Client& c = g_client;
  bool good = true;
  bool first = true;
  for (;;) {
    if (!await_result(link, error, size)) return false;
    void* result = c.get_result(link->conn);
    if (result == nullptr) break;
    int status = c.result_status(result);
    if (status != kCommandOk && status != kTuplesOk) {
      if (good) refused(link, result, answer != nullptr ? answer->state : nullptr, error, size);
      good = false;
    }
    if (first && answer != nullptr && status == kTuplesOk) {
      first = false;
      answer->rows = c.ntuples(result);
      if (answer->rows > 0 && !c.get_is_null(result, 0, 0)) {
        answer->has_value = true;
        snprintf(answer->value, sizeof answer->value, "%s", c.get_value(result, 0, 0));
      }
    }
    c.clear(result);
  }
  if (c.status(link->conn) != kConnectionOk) pg_close(link);
  return good;
}

}  // namespace

bool pg_library_ready(char* error, size_t size) {
  if (!g_client.tried) {
    g_client.tried = true;
    g_client.ready = load();
  }
  if (!g_client.ready) snprintf(error, size, "%s", g_client.failure);
  return g_client.ready;
}

int pg_library_version() { return g_client.ready ? g_client.lib_version() : 0; }

bool pg_connect(const char* url_text, const char* password_file, long long deadline_ms,
                PgLink* link, char* error, size_t size) {
  link->conn = nullptr;
  link->deadline_ms = deadline_ms;
  PgUrl url;
  if (!pg_url_parse(url_text, &url, error, size) || !pg_library_ready(error, size)) return false;
  static char password[kPasswordLimit + 1];
  if (!read_password(password_file, password, error, size)) return false;
  const char* keywords[kPgUrlMaxPairs + 6];
  const char* values[kPgUrlMaxPairs + 6];
  int n = 0;
  for (int i = 0; i < url.count; ++i, ++n) {
    keywords[n] = url.keywords[i];
    values[n] = url.values[i];
  }
  // The client's own password sources stay shut; a password only from
  // the owner's file. Kerberos encryption is not tried.
  const char* fixed[][2] = {{"passfile", "/dev/null"},
                            {"password", password},
                            {"gssencmode", "disable"},
                            {"application_name", "quillon"},
                            {"client_encoding", "UTF8"}};
  for (const auto& pair : fixed) {
    if (pair[1] == password && password[0] == '\0') continue;
    keywords[n] = pair[0];
    values[n++] = pair[1];
  }
  keywords[n] = nullptr;
  values[n] = nullptr;
  os_clear_environment("PG");
  link->conn = g_client.connect_start_params(keywords, values, 0);
  memset(password, 0, sizeof password);
  if (link->conn == nullptr) {
    snprintf(error, size, "cannot connect to the database: out of memory");
    return false;
  }
  if (g_client.status(link->conn) != kConnectionOk && g_client.socket(link->conn) < 0) {
    client_words(g_client.error_message(link->conn), "cannot connect to the database: ", error,
                 size);
    pg_close(link);
    return false;
  }
  return finish_connect(link, error, size);
}

bool pg_query(PgLink* link, const char* sql, const char* const* params, int count,
              PgAnswer* answer, char* error, size_t size) {
  *answer = PgAnswer{};
  if (link->conn == nullptr) {
    snprintf(error, size, "no database connection");
    return false;
  }
  if (!g_client.send_query_params(link->conn, sql, count, nullptr, params, nullptr, nullptr, 0)) {
    client_words(g_client.error_message(link->conn), "cannot send a statement: ", error, size);
    pg_close(link);
    return false;
  }
  return send_all(link, error, size) && collect(link, answer, error, size);
}

bool pg_script(PgLink* link, const char* sql, char* error, size_t size) {
  if (link->conn == nullptr) {
    snprintf(error, size, "no database connection");
    return false;
  }
  if (!g_client.send_query(link->conn, sql)) {
    client_words(g_client.error_message(link->conn), "cannot send the script: ", error, size);
    pg_close(link);
    return false;
  }
  return send_all(link, error, size) && collect(link, nullptr, error, size);
}

bool pg_query_rows(PgLink* link, const char* sql, const char* const* params, int count,
                   PgRowFn each, void* context, char* error, size_t size) {
  Client& c = g_client;
  if (link->conn == nullptr) {
    snprintf(error, size, "no database connection");
    return false;
  }
  if (!c.send_query_params(link->conn, sql, count, nullptr, params, nullptr, nullptr, 0) ||
      !c.set_single_row_mode(link->conn)) {
    client_words(c.error_message(link->conn), "cannot send a statement: ", error, size);
    pg_close(link);
    return false;
  }
  // The time given is for each row to come: a long export keeps going
  // while rows arrive.
  long long span = link->deadline_ms - os_monotonic_ms();
  if (!send_all(link, error, size)) return false;
  bool good = true;
  bool going = true;
  for (;;) {
    if (!await_result(link, error, size)) return false;
    link->deadline_ms = os_monotonic_ms() + span;
    void* result = c.get_result(link->conn);
    if (result == nullptr) break;
    int status = c.result_status(result);
    if (status == kSingleTuple && going && good) {
      const char* values[kMaxColumns];
      int columns = c.nfields(result);
      if (columns > kMaxColumns) columns = kMaxColumns;
      for (int i = 0; i < columns; ++i) {
        values[i] = c.get_is_null(result, 0, i) ? nullptr : c.get_value(result, 0, i);
      }
      // The rest is still read (and dropped): the connection stays usable.
      going = each(values, columns, context);
    } else if (status != kSingleTuple && status != kTuplesOk && status != kCommandOk) {
      if (good) refused(link, result, nullptr, error, size);
      good = false;
    }
    c.clear(result);
  }
  if (c.status(link->conn) != kConnectionOk) pg_close(link);
  return good;
}

void pg_close(PgLink* link) {
  if (link->conn != nullptr) g_client.finish(link->conn);
  link->conn = nullptr;
}

int pg_tables_check(PgLink* link, const PgTableRights* tables, int count,
                    void (*say)(const char* line), char* error, size_t size) {
  int wrong = 0;
  for (int i = 0; i < count; ++i) {
    const PgTableRights& table = tables[i];
    const char* params[] = {table.table, table.rights};
    PgAnswer answer;
    if (!pg_query(link,
                  // Each right apart: a list asks whether any one is held.
                  "SELECT CASE WHEN to_regclass($1) IS NULL THEN 'missing'"
                  " WHEN (SELECT bool_and(has_table_privilege($1, r))"
                  " FROM unnest(string_to_array($2, ', ')) r) THEN 'ok' ELSE 'rights' END",
                  params, 2, &answer, error, size)) {
      return -1;
    }
    char line[200];
    if (answer.value[0] == 'm') {
      snprintf(line, sizeof line, "the table %s is missing", table.table);
    } else if (answer.value[0] == 'r') {
      snprintf(line, sizeof line, "the database user lacks %s on %s", table.rights, table.table);
    } else {
      continue;
    }
    say(line);
    ++wrong;
  }
  return wrong;
}
