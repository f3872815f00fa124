// The hook files and their retry times (see webhook_file.h).
#include "deliver/webhook_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/calendar.h"
#include "base/text.h"
#include "deliver/webhook_format.h"

namespace {


bool all_digits(const char* text, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool take_number(const char* value, size_t length, long long* out) {
  if (!all_digits(value, length) || length > 15) return false;
  long long number = 0;
  for (size_t i = 0; i < length; ++i) number = number * 10 + (value[i] - '0');
  *out = number;
  return true;
}

bool take_text(const char* value, size_t length, char* out, size_t size) {
  if (length >= size) return false;
  memcpy(out, value, length);
  out[length] = '\0';
  return true;
}

// One "key: value" line of the head into `out`; false when it is not one.
bool head_line(const char* line, size_t length, HookFile* out, int* seen) {
  const char* colon = static_cast<const char*>(memchr(line, ':', length));
  if (colon == nullptr || colon + 1 >= line + length || colon[1] != ' ') return false;
  size_t key = static_cast<size_t>(colon - line);
  const char* value = colon + 2;
  size_t value_length = length - key - 2;
  auto is = [&](const char* name) { return key == strlen(name) && memcmp(line, name, key) == 0; };
  long long number = 0;
  bool ok = false;
  if (is("destination")) {
    ok = value_length > 8 && memcmp(value, "webhook ", 8) == 0 &&
         take_number(value + 8, value_length - 8, &number) && number >= 1 &&
         number <= kMaxWebhooks * 100;
    out->webhook = static_cast<int>(number);
  } else if (is("url")) {
    ok = take_text(value, value_length, out->url, sizeof out->url);
  } else if (is("format")) {
    char word[20];
    ok = take_text(value, value_length, word, sizeof word) &&
         webhook_format_named(word, &out->format);
  } else if (is("webhook-id")) {
    ok = take_text(value, value_length, out->id, sizeof out->id);
  } else if (is("first-try")) {
    ok = take_number(value, value_length, &out->first_try);
  } else if (is("next-try")) {
    ok = take_number(value, value_length, &out->next_try);
  } else if (is("attempts")) {
    ok = take_number(value, value_length, &number) && number < 100000;
    out->attempts = static_cast<int>(number);
  } else if (is("last")) {
    // The one line a file may lack.
    return take_text(value, value_length, out->last, sizeof out->last);
  } else if (is("held")) {
    // Optional too: only a hook whose message is in quarantine/ or held
    // in queue/ has it.
    if (value_length > 6 && memcmp(value, "queue ", 6) == 0) {
      out->held_in_queue = true;
      return take_text(value + 6, value_length - 6, out->held, sizeof out->held);
    }
    return value_length > 11 && memcmp(value, "quarantine ", 11) == 0 &&
           take_text(value + 11, value_length - 11, out->held, sizeof out->held);
  } else {
    return false;
  }
  if (ok) ++*seen;
  return ok;
}

const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970; -1 otherwise.
long long http_date(const char* text) {
  char weekday[4], month[4], zone[4];
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  int used = 0;
  if (sscanf(text, "%3s, %d %3s %d %d:%d:%d %3s%n", weekday, &day, month, &year, &hour, &minute,
             &second, zone, &used) != 8 ||
      text[used] != '\0' || strcmp(zone, "GMT") != 0) {
    return -1;
  }
  int m = 0;
  while (m < 12 && strcmp(kMonths[m], month) != 0) ++m;
  if (m == 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return -1;
  return days_from_civil(year, m + 1, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

char* hook_file_format(const HookFile& hook, size_t* length) {
  TextBuffer* file = text_buffer_new("");
  text_buffer_append(file,
                     "QUILLON spool 2\ndestination: webhook %d\nurl: %s\nformat: %s\n"
                     "webhook-id: %s\nfirst-try: %lld\nnext-try: %lld\nattempts: %d\n",
                     hook.webhook, hook.url, webhook_format_name(hook.format), hook.id,
                     hook.first_try, hook.next_try, hook.attempts);
  if (hook.last[0] != '\0') text_buffer_append(file, "last: %s\n", hook.last);
  if (hook.held[0] != '\0') {
    text_buffer_append(file, "held: %s %s\n", hook.held_in_queue ? "queue" : "quarantine",
                       hook.held);
  }
  text_buffer_append(file, "\n");
  text_buffer_append_bytes(file, hook.body, static_cast<int>(hook.body_length));
  char* data = file->data;
  *length = static_cast<size_t>(file->length);
  free(file);
  return data;
}

bool hook_file_parse(const char* data, size_t length, HookFile* out, const char** why) {
  *out = HookFile();
  const char* at = data;
  const char* end = data + length;
  int seen = 0;
  bool first = true;
  for (;;) {
    const char* eol = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    if (eol == nullptr) {
      *why = "its head has no end";
      return false;
    }
    size_t line_length = static_cast<size_t>(eol - at);
    const char* line = at;
    at = eol + 1;
    if (first) {
      first = false;
      if (line_length != 15 || memcmp(line, "QUILLON spool 2", 15) != 0) {
        *why = "it does not begin with \"QUILLON spool 2\"";
        return false;
      }
      continue;
    }
    if (line_length == 0) break;
    if (!head_line(line, line_length, out, &seen)) {
      *why = "a line of its head is not understood";
      return false;
    }
  }
  // Every line but `last` is needed.
  if (seen < 7 || out->webhook == 0 || out->url[0] == '\0' || out->id[0] == '\0') {
    *why = "its head lacks a line";
    return false;
  }
  out->body = at;
  out->body_length = static_cast<size_t>(end - at);
  return true;
}

long long webhook_next_try(int attempts, long long first_try, long long now,
                           long long retry_after, int retry_days) {
  long long limit = first_try + retry_days * 86400LL;
  if (now >= limit) return -1;
  constexpr int kSteps = static_cast<int>(sizeof kWebhookWaits / sizeof kWebhookWaits[0]);
  int step = attempts < 1 ? 0 : attempts > kSteps ? kSteps - 1 : attempts - 1;
  long long wait = retry_after >= 0 ? retry_after : kWebhookWaits[step];
  if (wait < 1) wait = 1;
  // The last try is made when the days are up, however long the wait.
  return now + wait > limit ? limit : now + wait;
}

long long webhook_retry_after(const char* value, long long now) {
  if (value == nullptr) return -1;
  long long seconds = 0;
  if (take_number(value, strlen(value), &seconds)) return seconds;
  long long when = http_date(value);
  if (when < 0) return -1;
  return when > now ? when - now : 0;
}
