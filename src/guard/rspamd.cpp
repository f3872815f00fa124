// rspamd: POST /checkv2 on the scanning worker, and learning on its
// controller. What the answer means is spam_engine.cpp's.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/json.h"
#include "base/secret_file.h"
#include "guard/spam_engine.h"
#include "http/http_client.h"
#include "platform/os.h"

namespace {

void take_member(void* context, const JsonMember* member) {
  EngineResult* result = static_cast<EngineResult*>(context);
  if (member->in_array) return;
  if (strcmp(member->name, "action") == 0 && member->kind == JsonKind::kString) {
    snprintf(result->action, sizeof result->action, "%s", member->value);
  } else if (strcmp(member->name, "score") == 0 && member->kind == JsonKind::kNumber) {
    result->score = strtod(member->value, nullptr);
    result->spam = true;  // marks that a score was read
  } else if (strcmp(member->name, "required_score") == 0 && member->kind == JsonKind::kNumber) {
    result->threshold = strtod(member->value, nullptr);
  }
}

// The end of the JSON string beginning at text[at] (its opening quote).
size_t string_end(const char* text, size_t length, size_t at) {
  for (++at; at < length && text[at] != '"'; ++at) {
    if (text[at] == '\\') ++at;
  }
  return at;
}

// The names of the members of the top-level "symbols" object, in order.
void take_symbols(const char* text, size_t length, EngineResult* result) {
  const char* found = strstr(text, "\"symbols\"");
  if (found == nullptr) return;
  size_t at = static_cast<size_t>(found - text) + 9;
  while (at < length && (text[at] == ' ' || text[at] == ':' || text[at] == '\n')) ++at;
  if (at >= length || text[at] != '{') return;
  int depth = 0;
  size_t used = 0;
  for (; at < length; ++at) {
    char c = text[at];
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      if (--depth == 0) return;
    }
    if (c != '"') continue;
    size_t end = string_end(text, length, at);
    size_t next = end + 1;
    while (next < length && (text[next] == ' ' || text[next] == '\n')) ++next;
    if (depth == 1 && next < length && text[next] == ':' && used + 2 < sizeof result->symbols) {
      used += static_cast<size_t>(snprintf(result->symbols + used, sizeof result->symbols - used,
                                           "%s%.*s", used > 0 ? ", " : "",
                                           static_cast<int>(end - at - 1), text + at + 1));
      if (used >= sizeof result->symbols) used = sizeof result->symbols - 1;
    }
    at = end;
  }
}

// The scanning worker's or controller's URL with `path` in place of its own.
void endpoint(const char* base, const char* path, char* out, size_t size) {
  size_t length = strlen(base);
  while (length > 0 && base[length - 1] == '/') --length;
  const char* scheme_end = strstr(base, "://");
  const char* path_start = scheme_end != nullptr ? strchr(scheme_end + 3, '/') : nullptr;
  if (path_start != nullptr && static_cast<size_t>(path_start - base) < length) {
    length = static_cast<size_t>(path_start - base);
  }
  snprintf(out, size, "%.*s%s", static_cast<int>(length), base, path);
}

int seconds_left(int timeout, long long deadline_ms) {
  if (deadline_ms == 0) return timeout;
  long long left = (deadline_ms - os_monotonic_ms() + 999) / 1000;
  if (left < 1) left = 1;
  return left < timeout ? static_cast<int>(left) : timeout;
}

}  // namespace

bool rspamd_read_answer(const char* body, size_t length, EngineResult* result) {
  JsonError error = {"", 0};
  result->spam = false;
  if (!json_read_object(body, length, /*skip_nested=*/true, take_member, result, &error)) {
    snprintf(result->error, sizeof result->error, "rspamd's answer is not JSON (%s)", error.reason);
    return false;
  }
  if (result->action[0] == '\0' || !result->spam) {
    snprintf(result->error, sizeof result->error, "rspamd's answer has no action or score");
    return false;
  }
  result->spam = false;
  take_symbols(body, length, result);
  return true;
}

bool rspamd_check(const Settings& settings, const char* message, size_t length,
                  const EngineEnvelope& envelope, long long deadline_ms, EngineResult* result) {
  char url[1200];
  endpoint(settings.spam_engine_address, "/checkv2", url, sizeof url);
  HttpHeader headers[7];
  int count = 0;
  if (envelope.client_addr != nullptr && envelope.client_addr[0] != '\0') {
    headers[count++] = HttpHeader{"IP", envelope.client_addr};
  }
  headers[count++] = HttpHeader{"Helo", envelope.helo};
  if (envelope.from != nullptr) headers[count++] = HttpHeader{"From", envelope.from};
  for (const char* rcpt : envelope.rcpt) {
    if (rcpt != nullptr) headers[count++] = HttpHeader{"Rcpt", rcpt};
  }
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.content_type = "message/rfc822";
  request.body = message;
  request.body_length = length;
  request.headers = headers;
  request.header_count = count;
  request.timeout_seconds = seconds_left(settings.spam_timeout, deadline_ms);
  request.deadline_ms = deadline_ms;
  HttpResult http;
  http_exchange(request, &http);
  bool read = false;
  if (!http.ok) {
    snprintf(result->error, sizeof result->error, "rspamd at %.120s: %s", url, http.error);
  } else if (http.answer.status != 200) {
    snprintf(result->error, sizeof result->error, "rspamd at %.120s answered with status %d", url,
             http.answer.status);
  } else {
    read = rspamd_read_answer(http.answer.body->data, static_cast<size_t>(http.answer.body->length),
                              result);
  }
  http_result_free(&http);
  return read;
}

bool rspamd_learn(const Settings& settings, const char* message, size_t length, bool spam,
                  char* error, size_t error_size) {
  if (settings.spam_controller == nullptr) {
    snprintf(error, error_size, "no spam_controller to teach rspamd at");
    return false;
  }
  char password[256] = "";
  size_t password_length = 0;
  int open_error = 0;
  HttpHeader header = {"Password", password};
  bool with_password = settings.spam_controller_password_file != nullptr;
  if (with_password &&
      secret_file_line(settings.spam_controller_password_file, password, sizeof password - 1,
                       &password_length, &open_error) != SecretLine::kRead) {
    snprintf(error, error_size, "spam_controller_password_file {%s} cannot be read",
             settings.spam_controller_password_file);
    return false;
  }
  char url[1200];
  endpoint(settings.spam_controller, spam ? "/learnspam" : "/learnham", url, sizeof url);
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.content_type = "message/rfc822";
  request.body = message;
  request.body_length = length;
  request.headers = &header;
  request.header_count = with_password ? 1 : 0;
  request.timeout_seconds = settings.spam_timeout;
  HttpResult http;
  http_exchange(request, &http);
  memset(password, 0, sizeof password);
  bool learned = http.ok && http.answer.status == 200;
  if (!http.ok) {
    snprintf(error, error_size, "rspamd's controller at %.120s: %s", url, http.error);
  } else if (!learned) {
    snprintf(error, error_size, "rspamd's controller at %.120s answered with status %d: %.200s",
             url, http.answer.status, http.answer.body != nullptr ? http.answer.body->data : "");
  }
  http_result_free(&http);
  return learned;
}
