#pragma once
// The settings reader's own: the per-key handlers its keyword table
// (settings_reader.cpp) calls and the helpers they share. Not for other
// layers, which use config/settings.h. Each handler gets the line and the rest
// after its keyword, and returns 1 when the line took effect; a value it
// cannot use is logged and leaves the setting as it was.

#include "config/settings.h"

constexpr int kMaxSmtpTimeout = 3600;
constexpr int kMaxRateLimitMinutes = 7 * 24 * 60;

// Shared helpers (settings_keys.cpp). Running out of memory ends the
// process (fatal_reply).
char* copy_text(const char* text);
void replace_text(char** slot, const char* rest);
// Digits only; false for anything else or a number above `most`.
bool read_bounded_number(const char** text, int most, int* out);
// Adds `value` to `list` unless it is there already (the line still counts
// as used) or the list is full (an error line, not used).
int add_to_list(SettingList* list, const char* key, const char* value);
// A whole number from `least` to `most` into *slot; anything else keeps
// *slot with the error line "<key>{<rest>} is not a whole number<unit> from
// <least> to <most>; keeping <*slot>." (`key` ends in its blank; `unit` is
// "" or " of seconds" and the like).
int set_bounded_number(int* slot, const char* key, const char* rest, int least, int most,
                       const char* unit);

// The classic keys (settings_values.cpp).
int set_no_padding(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);
int set_add_headerline_colon(Settings* settings, const char* line, const char* rest,
                             const FieldLookup& shown);
int set_add_zolvar_link(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);
int set_hello_method(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
int set_remove_empty_variables(Settings* settings, const char* line, const char* rest,
                               const FieldLookup& shown);
int set_logging(Settings* settings, const char* line, const char* rest, const FieldLookup& shown);
int set_email_line_ending(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
int set_static_header(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_variable_header(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);
int set_static_body(Settings* settings, const char* line, const char* rest,
                    const FieldLookup& shown);
int set_variable_body(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_smtp_timeout(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);

// Delivery through mail providers (settings_values.cpp).
int set_smtp_security(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_standard_headers(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_hello_name(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);

// How a URL-encoded form is decoded (settings_values.cpp): `standard` or
// `classic` into *classic; false for any other word.
bool form_decoding_word(const char* rest, bool* classic);
int set_form_decoding(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);

// Abuse guards and the spool (settings_values.cpp).
int add_allowed_recipient(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
int add_honeypot_variable(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
int add_required_variable(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
int add_allowed_origin(Settings* settings, const char* line, const char* rest,
                       const FieldLookup& shown);
int set_rate_limit(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);
int set_duplicate_window(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_spool_folder(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
int set_spool_keep_sent(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);

// Answers, the CAPTCHA check and the confirmation mail (settings_answers.cpp).
int set_http_status(Settings* settings, const char* line, const char* rest,
                    const FieldLookup& shown);
int set_success_redirect(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_failure_redirect(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_missing_redirect(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_captcha(Settings* settings, const char* line, const char* rest, const FieldLookup& shown);
int set_altcha_algorithm(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);
int set_altcha_cost(Settings* settings, const char* line, const char* rest,
                    const FieldLookup& shown);
int set_altcha_expires(Settings* settings, const char* line, const char* rest,
                       const FieldLookup& shown);
int set_altcha_min_seconds(Settings* settings, const char* line, const char* rest,
                           const FieldLookup& shown);
int set_altcha_version(Settings* settings, const char* line, const char* rest,
                       const FieldLookup& shown);
int set_captcha_min_score(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
int set_captcha_timeout(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);
int set_captcha_unreachable(Settings* settings, const char* line, const char* rest,
                            const FieldLookup& shown);
int set_autoreply_window(Settings* settings, const char* line, const char* rest,
                         const FieldLookup& shown);

// Bounds: the log, the queue, the exchange's time, attachments
// (settings_limits.cpp).
int set_log_max_kb(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);
int set_spool_max_mb(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
// run_deadline's value: digits only, 1 to kMaxSmtpTimeout; false (and
// *seconds kept) for anything else. Logs nothing.
bool run_deadline_seconds(const char* rest, int* seconds);
int set_run_deadline(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
int set_smtp_deadline(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_attachments_max_kb(Settings* settings, const char* line, const char* rest,
                           const FieldLookup& shown);
int set_attachments_max_files(Settings* settings, const char* line, const char* rest,
                              const FieldLookup& shown);
int add_attachment_type(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);

// The archive (settings_archive.cpp).
int set_archive(Settings* settings, const char* line, const char* rest, const FieldLookup& lookup);
int set_archive_ip(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);
int set_archive_user_agent(Settings* settings, const char* line, const char* rest,
                           const FieldLookup& shown);
int set_archive_files(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_archive_timeout(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);
int set_archive_keep_days(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
// The judges' memory shared in PostgreSQL (settings_shared_state.cpp).
int set_shared_state(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
int set_shared_state_timeout(Settings* settings, const char* line, const char* rest,
                             const FieldLookup& shown);
int set_shared_state_unreachable(Settings* settings, const char* line, const char* rest,
                                 const FieldLookup& shown);
// The virus scan (settings_virus.cpp).
int set_virus_scan(Settings* settings, const char* line, const char* rest,
                   const FieldLookup& shown);
int set_virus_timeout(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int set_virus_max_kb(Settings* settings, const char* line, const char* rest,
                     const FieldLookup& shown);
int set_virus_unreachable(Settings* settings, const char* line, const char* rest,
                          const FieldLookup& shown);
// The spam judges and the quarantine (settings_spam.cpp).
int set_spam_max_links(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_scripts(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_same_value(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_refuse(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_engine(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_timeout(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_quarantine_score(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_reject_score(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_tag(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_unreachable(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_spam_learn(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
int set_quarantine_keep_days(Settings* settings, const char* line, const char* rest,
    const FieldLookup& shown);
// Webhooks (settings_webhooks.cpp).
int add_webhook(Settings* settings, const char* line, const char* rest, const FieldLookup& shown);
int set_webhook_allow_http(Settings* settings, const char* line, const char* rest,
                           const FieldLookup& shown);
int set_webhook_timeout(Settings* settings, const char* line, const char* rest,
                        const FieldLookup& shown);
int set_webhook_retry_days(Settings* settings, const char* line, const char* rest,
                           const FieldLookup& shown);
int set_send_mail(Settings* settings, const char* line, const char* rest,
                  const FieldLookup& shown);
// Several forms, texts by language and HTML mail (settings_forms.cpp).
int set_languages(Settings* settings, const char* line, const char* rest,
                  const FieldLookup& shown);
int add_messages_file(Settings* settings, const char* line, const char* rest,
                      const FieldLookup& shown);
int add_field_label(Settings* settings, const char* line, const char* rest,
                    const FieldLookup& shown);
