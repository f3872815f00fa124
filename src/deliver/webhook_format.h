#pragma once
// The bodies of the webhook formats: the signed JSON event and the chat
// services' messages, in which the visitor's text can neither mention
// anyone nor break the service's markup. Pure functions over the event;
// part of the delivery layer (deliver/webhook.h).

#include <cstddef>

#include "base/text.h"
#include "deliver/webhook_event.h"

// The format named by `word` (a word of kWebhookFormats); false for none.
bool webhook_format_named(const char* word, WebhookFormat* out);
const char* webhook_format_name(WebhookFormat format);

// The request body for `event` in `format` (valid UTF-8 JSON); `url` is
// the webhook's (ntfy's topic is its path). Caller frees it.
char* webhook_body(WebhookFormat format, const WebhookEvent& event, const char* url,
                   size_t* length);

// The body of -check's test: {"type": "check", ...} for json, a short
// message for the chat formats. Caller frees it.
char* webhook_check_body(WebhookFormat format, const char* id, long long time, const char* url,
                         size_t* length);

// For a ntfy URL "https://host/topic": the server's root URL into `root`
// and the topic into `topic`; false when the path is not one topic.
bool webhook_ntfy_split(const char* url, char* root, size_t root_size, char* topic,
                        size_t topic_size);

// The escaping of each chat format, appended to `out` as plain text (not
// yet a JSON string): exposed for tests.
void webhook_escape_chat(WebhookFormat format, const char* text, size_t length, TextBuffer* out);
