#pragma once
// The settings file: the Settings record with its header and body lists,
// and the reader's interface. The reader (settings_reader.cpp: the keyword
// table, the file read a line at a time, the lists) is a module of its own
// above this header, beside the key handlers (settings_keys.h) and the
// probable-mistake finder (mistake.h), which use the record and include
// nothing of the reader. May use src/base and src/platform only; knows nothing of the form (a
// line naming a form field keeps the name). Errors: settings_read returns
// false when the file cannot be opened; a line that cannot be used is
// logged and skipped; running out of memory ends the process (fatal_reply).

#include "base/arena.h"

constexpr int kMaxSettingsEntries = 1000;
constexpr int kSettingsLineArea = 64000;
constexpr int kDefaultSmtpTimeout = 60;
constexpr int kDefaultSmtpDeadline = 25;
constexpr int kDefaultRunDeadline = 30;

// How the connection to the mail server is protected (smtp_security).
enum SecurityMode {
  kSecurityNone,      // plain SMTP, the classic exchange
  kSecurityStarttls,  // plain greeting, then STARTTLS before anything else
  kSecurityTls,       // TLS from the first byte
};

// The values of a repeatable setting (allowed_recipient and the like), in
// the order of the settings file; a value given twice is kept once.
struct SettingList {
  char** items;  // room for kMaxSettingsEntries heap copies, made at the first value
  int count;
};

// A header or body entry: the text after the keyword; for a line naming a
// form field (`variable`), the text is the field's name and its submitted
// value is looked up when the message is built.
struct LineEntry {
  char* text;
  bool variable;
};

struct LineList {
  // Room for kMaxSettingsEntries, allocated at the first entry: most files
  // have a few dozen, and a record this small is cheap to make and reset.
  LineEntry* entries = nullptr;
  int count = 0;
  TextArena texts{};  // the entries' texts
};

// The defaults are the member initialisers. A text setting is a heap copy
// (null when absent) that a later line of the same key replaces; the
// record owns them (settings_free).
struct Settings {
  bool no_padding = false;
  bool add_headerline_colon = false;
  bool add_zolvar_link = true;
  bool use_helo = false;
  bool remove_empty_variables = false;
  char* smtp = nullptr;
  char* logging = nullptr;
  char* sendall = nullptr;
  char* success_html_page = nullptr;
  char* failure_html_page = nullptr;
  const char* email_line_ending = "\n";  // or "\r\n"
  int smtp_timeout = kDefaultSmtpTimeout;  // seconds for every socket step
  // Delivery through mail providers.
  SecurityMode smtp_security = kSecurityNone;
  char* smtp_user = nullptr;
  char* smtp_password = nullptr;
  char* smtp_password_file = nullptr;  // the password is its first line
  char* smtp_ca_file = nullptr;        // PEM roots trusted besides the system's
  bool standard_headers = false;       // Date, Message-ID and the MIME headers
  char* reply_to_variable = nullptr;   // the form field holding the visitor's address
  char* hello_name = nullptr;          // the EHLO/HELO name; null: chosen per message
  // abuse guards: each is off while its list is empty (or its value 0)
  SettingList allowed_recipients{};  // "owner@example.com" or "@example.com"
  SettingList honeypot_variables{};  // form fields a person leaves empty
  SettingList required_variables{};  // form fields that must hold more than blanks
  SettingList allowed_origins{};     // host names a post may come from
  char* missing_html_page = nullptr;
  int rate_limit_count = 0;    // at most this many submissions from one address
  int rate_limit_minutes = 0;  // within this many minutes; 0: no limit

  // spool: every message kept on disk until a server took it
  char* spool_folder = nullptr;   // null: no spool
  bool spool_keep_sent = true;    // false: delete instead of moving to sent/
  int spool_keep_sent_days = 0;   // with spool_keep_sent: -resend removes older ones; 0: never

  // the owner's checks: a bound on the whole SMTP exchange, connect to QUIT
  int smtp_deadline = kDefaultSmtpDeadline;  // seconds
  // the whole run's time, body to answer: every step that waits gets the
  // smaller of its own time-out and what is left of it
  int run_deadline = kDefaultRunDeadline;  // seconds

  // answers: the Status: line of the HTML pages, and redirects after a post
  bool http_status = false;           // the pages carry their outcome's Status: line
  char* success_redirect = nullptr;   // an http(s) URL or a path from "/": 303 instead
  char* failure_redirect = nullptr;   // of the success, failure and missing pages
  char* missing_redirect = nullptr;

  // CAPTCHA verification, and the confirmation mail that only goes behind it
  char* captcha = nullptr;               // "turnstile", "hcaptcha" or "recaptcha"; null: off
  char* captcha_secret_file = nullptr;   // the secret key is its first line
  double captcha_min_score = 0.5;        // 0.0-1.0, for answers that carry a score
  int captcha_timeout = 5;               // seconds for the whole verification step
  bool captcha_unreachable_send = false; // true: send when the service cannot be asked
  char* captcha_action = nullptr;        // the answer's action must equal it; null: unchecked
  char* captcha_verify_url = nullptr;    // null: the provider's own endpoint
  char* captcha_ca_file = nullptr;       // PEM roots trusted besides the system's
  // The self-hosted proof of work (captcha altcha).
  char* altcha_key_file = nullptr;       // line 1 the HMAC secret; line 2 the key-signature secret
  bool altcha_sha_only = false;          // altcha_algorithm SHA-256; false: PBKDF2/SHA-256
  int altcha_cost = 50000;               // iterations a solver makes per counter
  int altcha_expires = 600;              // seconds a challenge stays good
  int altcha_min_seconds = 0;            // least seconds from issue to post; 0: off
  int altcha_version = 2;                // 2, or 1 for the older widgets
  char* autoreply_to_variable = nullptr; // the form field holding the visitor's address
  char* autoreply_subject = nullptr;
  char* autoreply_file = nullptr;        // the text, with ||name|| tokens
  char* autoreply_from = nullptr;        // null: the message's From
  int autoreply_window = 60;             // minutes between two confirmations to one address

  // bounds on the log and the queue
  int log_max_kb = 10240;    // the log takes outcome lines only past this; 0: no bound
  int spool_max_mb = 100;    // queue/ holds at most this much; 0: no bound

  LineList header_lines;
  LineList body_lines;

  // duplicate posts: the same fields from one client within this many
  // minutes are sent once; 0: off
  int duplicate_window_minutes = 0;

  // attachments: the files of a multipart form; off while attachments_max_kb is 0
  int attachments_max_kb = 0;     // the decoded total of all files, 1 to 20480
  int attachments_max_files = 5;  // at most this many files
  SettingList attachment_types{}; // name endings (".pdf"); none: the default list

  // form_decoding classic: the URL-encoded form decoded twice, as stored
  // forms of the classic program may rely on; false: once, as browsers encode
  bool classic_form_decoding = false;

  // archive: every submission on record (config/settings_archive.cpp)
  char* archive = nullptr;           // the database: a path (relative: as spool_folder); null: off
  int archive_ip = 0;                // kArchiveIpHash, kArchiveIpFull or kArchiveIpNone
  bool archive_user_agent = false;   // keep the visitor's user agent
  bool archive_files = false;        // keep the attached files' contents, not only their names
  int archive_timeout = 2;           // seconds a run waits for the database
  int archive_keep_days = 0;         // records older than this are removed; 0: kept for ever
  // The judges' memory shared by several servers in one PostgreSQL
  // database, in place of the local state file (config/settings_shared_state.cpp)
  char* shared_state = nullptr;             // postgresql://USER@HOST/DB; null: the file
  char* database_password_file = nullptr;   // the database password is its first line
  int shared_state_timeout = 2;             // seconds for the whole run's state work
  // the virus scan: every attached file through clamd before anything is sent
  char* virus_scan = nullptr;          // clamd's "HOST:PORT" or socket path; null: off
  int virus_timeout = 10;              // seconds for the scan of one submission
  int virus_max_kb = 25600;            // clamd's StreamMaxLength, which it does not report
  bool virus_unreachable_send = false; // unscanned: send with an error line; false: keep
  // spam: the content rules, the engine and the quarantine (settings_spam.cpp)
  int spam_max_links = 0;            // more links than this are spam; 0: off
  char* spam_words = nullptr;        // file of words and phrases, one a line
  SettingList spam_scripts{};        // the scripts a value may be written in; none: off
  bool spam_same_value = false;      // one text in every field, or only a link
  bool spam_refuse = false;          // a content rule refuses rather than quarantines
  int spam_engine = 0;               // kSpamEngineNone, kSpamEngineRspamd, kSpamEngineSpamd
  char* spam_engine_address = nullptr;  // rspamd's URL, spamd's HOST:PORT or socket path
  int spam_timeout = 5;              // seconds for one engine call
  double spam_quarantine_score = -1; // below 0: the engine's own judgement
  double spam_reject_score = -1;     // below 0: the engine's own (rspamd), none (spamd)
  bool spam_tag = false;             // rspamd "add header": deliver tagged
  char* spam_subject_tag = nullptr;  // null: "[SPAM] "
  bool spam_unreachable_quarantine = false;  // spam_unreachable quarantine
  bool spam_learn = false;           // release and discard teach the engine
  char* spam_controller = nullptr;   // rspamd's controller URL
  char* spam_controller_password_file = nullptr;
  int quarantine_keep_days = 30;     // quarantine/ files older than this are pruned; 0: never
  // webhooks: each submission posted to these URLs after the mail (or
  // instead of it, send_mail false); failures kept in the spool's hooks/
  SettingList webhooks{};                // "URL FORMAT" each, FORMAT a word of kWebhookFormats
  bool webhook_allow_http = false;       // plain http:// URLs may be used
  int webhook_timeout = 5;               // seconds for each request
  char* webhook_secret_file = nullptr;   // "whsec_" + base64 on its first line
  char* webhook_ca_file = nullptr;       // PEM roots trusted besides the system's
  int webhook_retry_days = 3;            // kept in hooks/ and tried again this long
  bool send_mail = true;                 // false: the webhooks only (needs spool_folder)
  // several forms, texts by language and HTML mail
  char* form_folder = nullptr;  // the forms' files; null: "forms" beside the program, if there
  SettingList languages{};      // the answers' languages besides English, lower case
  SettingList messages_files{}; // "TAG FILE": the JSON messages and built-in pages in TAG
  char* html_template = nullptr; // an HTML part beside the plain text; null: plain text only
  SettingList field_labels{};    // "NAME = TEXT": a friendlier label for a field
  // shared_state_unreachable: what a run does when the shared state cannot
  // be used (config/settings_shared_state.cpp)
  bool shared_state_unreachable_keep = false;  // keep in the spool for -resend; false: send
};

// archive_ip's words.
constexpr int kArchiveIpHash = 0;
constexpr int kArchiveIpFull = 1;
constexpr int kArchiveIpNone = 2;

constexpr int kSpamEngineNone = 0;
constexpr int kSpamEngineRspamd = 1;
constexpr int kSpamEngineSpamd = 2;

// The formats a `webhook` line may name; the first is the default.
constexpr const char* kWebhookFormats[] = {"json", "slack", "mattermost", "discord", "ntfy",
                                           "teams"};
constexpr int kMaxWebhooks = 10;

// The field_label text for the field `name`, or null.
const char* settings_field_label(const Settings& settings, const char* name);

// The line ending of every message line and SMTP command: CR LF in the TLS
// modes (submission servers refuse bare LF), else the email_CR setting's.
const char* settings_line_ending(const Settings& settings);

// The subject tag of a message delivered as spam: spam_subject_tag, or
// "[SPAM] " (settings_spam.cpp).
const char* spam_subject_tag(const Settings& settings);

// What the "add_header_line(...)" and "add_body_variable(...)" log lines
// show as the value of a named form field: `value` gives it (null: "").
struct FieldLookup {
  const char* (*value)(const char* name, void* context);
  void* context;
};

// Reads the settings file at `path` into `settings`. Returns false, with
// nothing read, when it cannot be opened (or is a folder). When `path` is the
// program's settings file and a form was chosen (g_program.form_path), the
// form's file is read over it as settings_read_layer says.
// Each line that no key used and that looks like a mistake (config/mistake.h)
// logs an error line naming its number and first word.
bool settings_read(const char* path, const FieldLookup& shown, Settings* settings);

// The keys a run needs before the form is decoded (the settings' log lines
// show the submitted values, so the whole file is read after the form):
// how a URL-encoded form is decoded, and the run's time.
struct EarlySettings {
  bool classic_form_decoding = false;
  int run_deadline = kDefaultRunDeadline;  // seconds
  bool run_deadline_set = false;  // a valid run_deadline line was given
};

// The early keys of the settings file at `path`, each its last valid line
// as settings_read takes it; the defaults when the file has none or cannot
// be opened. Logs nothing (settings_read says what a line got wrong).
// The form's file (g_program.form_path) over the program's file as
// settings_read takes them.
EarlySettings settings_read_early(const char* path);

// The shared file's `form_folder` line (the last one), for choosing the
// form before anything else is read: false when it has none.
bool settings_read_form_folder(const char* path, char* out, size_t size);

// settings_read that hands each line, after applying it, to `each` with its
// number (from 1) and how many keys took effect, in place of the
// mistake's error line.
using SettingsLineFn = void (*)(int number, const char* line, int used, void* context);
bool settings_read_each(const char* path, const FieldLookup& shown, Settings* settings,
                        SettingsLineFn each, void* context);

// Several forms: a form's settings file is read over the shared one. A key
// the form's file sets is taken from it alone (for a list, header and body
// lines included, the whole list); logging and log_max_kb come from the
// shared file only, since all forms write one log.
constexpr int kFormKeysMax = 160;
struct FormKeys {
  bool set[kFormKeysMax];  // by keyword test; all false: no form
};
// The keys the form's file at `path` sets; false when it cannot be opened.
bool settings_form_keys(const char* path, FormKeys* keys);
// What `each` gets as `used` for a line a layer leaves to the other file.
constexpr int kSettingsLineReplaced = -1;    // the shared file's line: the form sets the key
constexpr int kSettingsLineSharedOnly = -2;  // the form's line: a key of the shared file alone
// settings_read_each of one file: the shared one (`form_keys` not null:
// without the keys the form sets) or the form's (`form_file`).
bool settings_read_layer(const char* path, const FormKeys* form_keys, bool form_file,
                         const FieldLookup& shown, Settings* settings, SettingsLineFn each,
                         void* context);

// Applies the keyword tests to one line whose line end was already stripped;
// returns how many took effect (and logs "line used from ini file {...}").
// A `logging` line also sets g_log.logging, so the log follows it at once.
int settings_apply_line(Settings* settings, const char* line, const FieldLookup& shown);

// The keyword of the index-th keyword test, or null past the last one.
const char* settings_keyword(int index);

// Cuts `line` at its first CR and then at its first LF.
void strip_line_end(char* line);

// Log the entry at the debug level (with `value`, what it shows), then
// append a copy of `text` to the header / body list. Nothing is stored when
// either is null, and an entry beyond kMaxSettingsEntries is refused with
// an error line.
void add_header_line(Settings* settings, const char* text, const char* value, bool variable);
void add_body_variable(Settings* settings, const char* text, const char* value, bool variable);

// Releases what the record holds and restores the defaults.
void settings_free(Settings* settings);
