// The webhook bodies: the JSON event and the chat messages.
#include "deliver/webhook_format.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/json.h"
#include "base/utf8.h"
#include "config/settings.h"

namespace {

// Discord refuses a longer content.
constexpr size_t kDiscordLimit = 2000;
constexpr char kCutNote[] = "\n[cut: the whole submission is in the mail or the JSON webhook]";

void add_string(TextBuffer* out, const char* text) {
  json_append_string(out, text != nullptr ? text : "", text != nullptr ? strlen(text) : 0);
}

// "2026-01-07T13:45:01Z".
void rfc3339(long long seconds, char* out, size_t size) {
  long long days = seconds / 86400;
  long long of_day = seconds % 86400;
  // The civil date of a day count (days since 1970-01-01).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long d = doy - (153 * mp + 2) / 5 + 1;
  long long m = mp < 10 ? mp + 3 : mp - 9;
  long long y = yoe + era * 400 + (m <= 2);
  snprintf(out, size, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", y, m, d, of_day / 3600,
           of_day / 60 % 60, of_day % 60);
}

// Whether entry `i` is the first of its name.
bool first_of_name(const WebhookEvent& event, int i) {
  for (int j = 0; j < i; ++j) {
    if (strcmp(event.fields[j].name, event.fields[i].name) == 0) return false;
  }
  return true;
}

void append_fields(const WebhookEvent& event, TextBuffer* out) {
  text_buffer_append(out, "{");
  bool first = true;
  for (int i = 0; i < event.field_count; ++i) {
    if (!first_of_name(event, i)) continue;
    const char* name = event.fields[i].name;
    int same = 0;
    for (int j = i; j < event.field_count; ++j) same += strcmp(event.fields[j].name, name) == 0;
    text_buffer_append(out, first ? "" : ", ");
    first = false;
    add_string(out, name);
    text_buffer_append(out, ": %s", same > 1 ? "[" : "");
    bool first_value = true;
    for (int j = i; j < event.field_count; ++j) {
      if (strcmp(event.fields[j].name, name) != 0) continue;
      text_buffer_append(out, first_value ? "" : ", ");
      first_value = false;
      add_string(out, event.fields[j].value);
    }
    text_buffer_append(out, "%s", same > 1 ? "]" : "");
  }
  text_buffer_append(out, "}");
}

void append_files(const WebhookEvent& event, TextBuffer* out) {
  text_buffer_append(out, "[");
  for (int i = 0; i < event.file_count; ++i) {
    const WebhookFile& file = event.files[i];
    text_buffer_append(out, "%s{\"field\": ", i > 0 ? ", " : "");
    add_string(out, file.field);
    text_buffer_append(out, ", \"name\": ");
    add_string(out, file.name);
    text_buffer_append(out, ", \"type\": ");
    add_string(out, file.type);
    text_buffer_append(out, ", \"size\": %lld}", file.size);
  }
  text_buffer_append(out, "]");
}

void json_event(const WebhookEvent& event, TextBuffer* out) {
  char time[96];
  rfc3339(event.time, time, sizeof time);
  text_buffer_append(out, "{\"type\": \"submission\", \"id\": ");
  add_string(out, event.id);
  text_buffer_append(out, ", \"time\": \"%s\", \"form\": ", time);
  add_string(out, event.form);
  text_buffer_append(out, ", \"fields\": ");
  append_fields(event, out);
  text_buffer_append(out, ", \"files\": ");
  append_files(event, out);
  if (event.mail_outcome == nullptr) {
    text_buffer_append(out, ", \"mail\": null}");
    return;
  }
  text_buffer_append(out, ", \"mail\": {\"outcome\": ");
  add_string(out, event.mail_outcome);
  text_buffer_append(out, ", \"message_id\": ");
  if (event.message_id == nullptr || event.message_id[0] == '\0') {
    text_buffer_append(out, "null");
  } else {
    add_string(out, event.message_id);
  }
  text_buffer_append(out, "}}");
}

void escape_text(WebhookFormat format, const char* text, TextBuffer* out) {
  webhook_escape_chat(format, text != nullptr ? text : "", text != nullptr ? strlen(text) : 0,
                      out);
}

// The chat message's text: a title line, then one line per field and file.
void chat_text(WebhookFormat format, const WebhookEvent& event, bool with_title,
               TextBuffer* out) {
  if (with_title) {
    text_buffer_append(out, "New submission to ");
    escape_text(format, event.form, out);
    if (event.subject != nullptr && event.subject[0] != '\0') {
      text_buffer_append(out, ": ");
      escape_text(format, event.subject, out);
    }
    text_buffer_append(out, "\n");
  }
  for (int i = 0; i < event.field_count; ++i) {
    escape_text(format, event.fields[i].name, out);
    text_buffer_append(out, ": ");
    escape_text(format, event.fields[i].value, out);
    text_buffer_append(out, "\n");
  }
  for (int i = 0; i < event.file_count; ++i) {
    text_buffer_append(out, "file ");
    escape_text(format, event.files[i].field, out);
    text_buffer_append(out, ": ");
    escape_text(format, event.files[i].name, out);
    text_buffer_append(out, " (%lld bytes)\n", event.files[i].size);
  }
}

// Cuts `text` to at most kDiscordLimit characters, the note included.
void discord_cut(TextBuffer* text) {
  size_t note = sizeof kCutNote - 1;
  size_t characters = 0;
  size_t keep = 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text->data);
  size_t length = static_cast<size_t>(text->length);
  for (size_t i = 0; i < length;) {
    int step = utf8_sequence(bytes + i, length - i, nullptr);
    if (step == 0) step = 1;  // shown as one U+FFFD
    ++characters;
    if (characters <= kDiscordLimit - note) keep = i + static_cast<size_t>(step);
    i += static_cast<size_t>(step);
  }
  if (characters <= kDiscordLimit) return;
  // A backslash escape is not split from what it escapes.
  size_t slashes = 0;
  while (slashes < keep && text->data[keep - 1 - slashes] == '\\') ++slashes;
  if (slashes % 2 == 1) --keep;
  text->length = static_cast<int>(keep);
  text->data[keep] = '\0';
  text_buffer_append(text, "%s", kCutNote);
}

void chat_body(WebhookFormat format, const WebhookEvent& event, const char* ntfy_topic,
               TextBuffer* out) {
  TextBuffer* text = text_buffer_new("");
  chat_text(format, event, format != WebhookFormat::kNtfy, text);
  if (format == WebhookFormat::kDiscord) discord_cut(text);
  switch (format) {
    case WebhookFormat::kSlack:
    case WebhookFormat::kMattermost:
      text_buffer_append(out, "{\"text\": ");
      json_append_string(out, text->data, static_cast<size_t>(text->length));
      text_buffer_append(out, "}");
      break;
    case WebhookFormat::kDiscord:
      text_buffer_append(out, "{\"content\": ");
      json_append_string(out, text->data, static_cast<size_t>(text->length));
      text_buffer_append(out, ", \"allowed_mentions\": {\"parse\": []}}");
      break;
    case WebhookFormat::kNtfy: {
      TextBuffer* title = text_buffer_new("");
      text_buffer_append(title, "New submission to %s", event.form != nullptr ? event.form : "");
      if (event.subject != nullptr && event.subject[0] != '\0') {
        text_buffer_append(title, ": %s", event.subject);
      }
      text_buffer_append(out, "{\"topic\": ");
      add_string(out, ntfy_topic);
      text_buffer_append(out, ", \"title\": ");
      json_append_string(out, title->data, static_cast<size_t>(title->length));
      text_buffer_append(out, ", \"message\": ");
      json_append_string(out, text->data, static_cast<size_t>(text->length));
      text_buffer_append(out, "}");
      text_buffer_free(title);
      break;
    }
    case WebhookFormat::kTeams:
      text_buffer_append(out,
                         "{\"type\": \"message\", \"attachments\": [{\"contentType\": "
                         "\"application/vnd.microsoft.card.adaptive\", \"content\": {\"type\": "
                         "\"AdaptiveCard\", \"$schema\": "
                         "\"http://adaptivecards.io/schemas/adaptive-card.json\", \"version\": "
                         "\"1.4\", \"body\": [{\"type\": \"TextBlock\", \"wrap\": true, "
                         "\"text\": ");
      json_append_string(out, text->data, static_cast<size_t>(text->length));
      text_buffer_append(out, "}]}}]}");
      break;
    case WebhookFormat::kJson: break;
  }
  text_buffer_free(text);
}

char* take(TextBuffer* out, size_t* length) {
  char* data = out->data;
  *length = static_cast<size_t>(out->length);
  free(out);
  return data;
}

// Markdown's characters that a backslash makes literal in Mattermost,
// Discord and Teams.
bool markdown_special(char c) { return strchr("\\`*_~|[]()#<>", c) != nullptr; }

}  // namespace

bool webhook_format_named(const char* word, WebhookFormat* out) {
  for (int i = 0; i < static_cast<int>(sizeof kWebhookFormats / sizeof kWebhookFormats[0]); ++i) {
    if (strcmp(word, kWebhookFormats[i]) == 0) {
      *out = static_cast<WebhookFormat>(i);
      return true;
    }
  }
  return false;
}

const char* webhook_format_name(WebhookFormat format) {
  return kWebhookFormats[static_cast<int>(format)];
}

void webhook_escape_chat(WebhookFormat format, const char* text, size_t length, TextBuffer* out) {
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    switch (format) {
      case WebhookFormat::kSlack:
        // Slack reads its links and mentions (<!channel>, <@U1>) between
        // angle brackets; the three entities make them plain text.
        if (c == '&') {
          text_buffer_append(out, "&amp;");
        } else if (c == '<') {
          text_buffer_append(out, "&lt;");
        } else if (c == '>') {
          text_buffer_append(out, "&gt;");
        } else {
          text_buffer_append_bytes(out, &c, 1);
        }
        break;
      case WebhookFormat::kMattermost:
      case WebhookFormat::kDiscord:
      case WebhookFormat::kTeams:
        if (markdown_special(c)) text_buffer_append_bytes(out, "\\", 1);
        text_buffer_append_bytes(out, &c, 1);
        // A zero-width space after "@" keeps @all, @here, @channel and
        // @name from mentioning anyone (Discord's are off as well).
        if (c == '@') text_buffer_append(out, "\xE2\x80\x8B");
        break;
      case WebhookFormat::kNtfy:
      case WebhookFormat::kJson:
        // ntfy shows its message as plain text; JSON carries it as is.
        text_buffer_append_bytes(out, &c, 1);
        break;
    }
  }
}

bool webhook_ntfy_split(const char* url, char* root, size_t root_size, char* topic,
                        size_t topic_size) {
  const char* host = strstr(url, "://");
  if (host == nullptr) return false;
  const char* path = strchr(host + 3, '/');
  if (path == nullptr || path[1] == '\0') return false;
  const char* name = path + 1;
  size_t length = strcspn(name, "/?#");
  if (name[length] != '\0' && !(name[length] == '/' && name[length + 1] == '\0')) return false;
  snprintf(root, root_size, "%.*s/", static_cast<int>(path - url), url);
  snprintf(topic, topic_size, "%.*s", static_cast<int>(length), name);
  return true;
}

char* webhook_body(WebhookFormat format, const WebhookEvent& event, const char* url,
                   size_t* length) {
  TextBuffer* out = text_buffer_new("");
  if (format == WebhookFormat::kJson) {
    json_event(event, out);
  } else {
    char root[2100];
    char topic[256] = "";
    (void)webhook_ntfy_split(url, root, sizeof root, topic, sizeof topic);
    chat_body(format, event, topic, out);
  }
  return take(out, length);
}

char* webhook_check_body(WebhookFormat format, const char* id, long long time, const char* url,
                         size_t* length) {
  if (format != WebhookFormat::kJson) {
    WebhookEvent event = {};
    event.id = id;
    event.time = time;
    event.form = "a test of -check";
    return webhook_body(format, event, url, length);
  }
  TextBuffer* out = text_buffer_new("");
  char stamp[96];
  rfc3339(time, stamp, sizeof stamp);
  text_buffer_append(out, "{\"type\": \"check\", \"id\": ");
  add_string(out, id);
  text_buffer_append(out, ", \"time\": \"%s\"}", stamp);
  return take(out, length);
}
