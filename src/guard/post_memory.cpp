#include "guard/post_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "guard/rate.h"
#include "guard/state_store.h"
#include "platform/os.h"

// The fields a CAPTCHA widget fills with a new token on every post.
static const char* const kTokenFields[] = {"cf-turnstile-response", "h-captcha-response",
                                           "g-recaptcha-response"};

static bool token_field(const char* name) {
  for (const char* token : kTokenFields) {
    if (strcmp(name, token) == 0) return true;
  }
  return false;
}

// Each part with its length first, so that no two posts give one key.
static void append_part(TextBuffer* key, const char* text) {
  int length = static_cast<int>(strlen(text));
  text_buffer_append(key, "%d:", length);
  text_buffer_append_bytes(key, text, length);
}

// The file's bytes read in blocks from the scratch file; a file that
// cannot be read counts as empty.
static void file_digest(const FormRequest& upload, int index, char* out) {
  RateDigest digest;
  rate_digest_start(&digest);
  char block[16384];
  long long at = 0;
  for (;;) {
    long n = form_file_read(&upload, index, at, block, sizeof block);
    if (n <= 0) break;
    rate_digest_add(&digest, block, static_cast<size_t>(n));
    at += n;
  }
  rate_digest_end(&digest, out);
}

TextBuffer* duplicate_key(const FormTable& form, const char* remote_addr,
                          const FormRequest* upload) {
  char client[kRateClientSize];
  rate_client_key(remote_addr, client);
  TextBuffer* key = text_buffer_new("");
  append_part(key, client);
  for (int i = 0; i < form.count; ++i) {
    if (token_field(form.names[i])) continue;
    append_part(key, form.names[i]);
    append_part(key, form.values[i]);
  }
  // A post without files keeps the key it always had.
  for (int i = 0; upload != nullptr && i < upload->file_count; ++i) {
    const FormFile& file = upload->files[i];
    char digest[kRateDigestSize];
    file_digest(*upload, i, digest);
    char part[96];
    snprintf(part, sizeof part, "file %d %zu %s", file.entry, file.size, digest);
    append_part(key, part);
  }
  return key;
}

static long long window_seconds(const Settings& settings) {
  return static_cast<long long>(settings.duplicate_window_minutes) * 60;
}

bool duplicate_seen(const Settings& settings, const FormTable& form, const FormRequest* upload,
                    const char* client, DuplicatePost* post) {
  post->key = nullptr;
  post->recorded = false;
  if (settings.duplicate_window_minutes <= 0) return false;
  TextBuffer* key = duplicate_key(form, client == nullptr ? "" : client, upload);
  // A state that cannot be used sends the post (the take says why).
  int taken = state_window_take(settings, RateWindowKind::kDuplicate, key->data,
                                static_cast<size_t>(key->length), window_seconds(settings));
  if (taken <= 0) {
    post->key = key;
    post->recorded = taken == 0;
    return false;
  }
  text_buffer_free(key);
  log_event(LOG_ERROR,
            "submission dropped: the same post from client {%s} was sent within the "
            "duplicate_window of %d minutes; answered as sent.",
            log_quote(0, client == nullptr ? "" : client), settings.duplicate_window_minutes);
  return true;
}

void duplicate_settle(DuplicatePost* post, const Settings& settings, bool sent) {
  if (post->key == nullptr) return;
  if (!sent) {
    state_window_forget(settings, RateWindowKind::kDuplicate, post->key->data,
                       static_cast<size_t>(post->key->length), window_seconds(settings));
  }
  text_buffer_free(post->key);
  post->key = nullptr;
}

void sent_run_note(const Settings& settings, long long started_ms) {
  // Only a honeypot catch reads them: other sites spare the second turn.
  if (settings.honeypot_variables.count == 0 || !rate_state_in_use(settings)) return;
  state_note_run(settings, (os_monotonic_ms() - started_ms) * 1000);
}

constexpr long long kSentRunFallbackMs = 30;
constexpr long long kSentRunMostMs = 1000;

void sent_run_wait(const Settings& settings, long long started_ms) {
  long long target = kSentRunFallbackMs;
  if (rate_state_in_use(settings)) {
    target = state_median_run_ms(settings, kSentRunFallbackMs);
  }
  if (target > kSentRunMostMs) target = kSentRunMostMs;
  long long left = started_ms + target - os_monotonic_ms();
  if (left > 0) os_sleep_ms(static_cast<int>(left));
}
