#pragma once
// What the rate state remembers about posts from run to run: the posts
// already sent (duplicate_window: the same fields from one client within M
// minutes are sent once) and how long a sent run takes (a honeypot catch
// answers in that time, so that its answer tells a robot nothing). Built on
// rate.h; may touch the log and the clock. Errors: none reach the caller; a
// state that cannot be used is logged and the post is sent.

#include "base/text.h"
#include "config/settings.h"
#include "form/form.h"
#include "form/request.h"

// A post checked against the remembered ones: its key (null when the check
// is off or the post was a repeat), to take back when it was not sent.
struct DuplicatePost {
  TextBuffer* key;
  bool recorded;  // the state took it (false: the state could not be used)
};

// The key of a post: the client address as rate.h counts it, then every
// field's name and value in order, the CAPTCHA tokens left out (a new
// token or multipart boundary does not make a post new), then, for each
// file of `upload` (null: none), its size and a digest of its bytes (a
// corrected file of the same name is a new post). A new buffer, the
// caller's to free.
TextBuffer* duplicate_key(const FormTable& form, const char* remote_addr,
                          const FormRequest* upload);

// With duplicate_window set: whether the same post from the client address
// `client` (REMOTE_ADDR, null when not given) was sent within the window
// (then one error line); when not, it is remembered now, and post->key is
// set for duplicate_settle.
bool duplicate_seen(const Settings& settings, const FormTable& form, const FormRequest* upload,
                    const char* client, DuplicatePost* post);

// After the delivery: a post that was neither sent nor kept in the spool
// is forgotten again, so that the visitor's retry is sent. Frees the key.
void duplicate_settle(DuplicatePost* post, const Settings& settings, bool sent);

// Keeps how long a sent run took since `started_ms` (os_monotonic_ms),
// when the settings use the rate state and name a honeypot field.
void sent_run_note(const Settings& settings, long long started_ms);

// Waits until the run begun at `started_ms` has taken as long as a sent run:
// the median of the recent sent runs kept in the rate state, else 30 ms;
// at most 1 s.
void sent_run_wait(const Settings& settings, long long started_ms);
