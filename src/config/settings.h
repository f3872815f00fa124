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
  int altcha_cost = 5000;                // iterations a solver makes per counter
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
  // shared_state_unreachable: what a run does when the shared state cannot
  // be used (config/settings_shared_state.cpp)
  bool shared_state_unreachable_keep = false;  // keep in the spool for -resend; false: send
};

// archive_ip's words.
constexpr int kArchiveIpHash = 0;
constexpr int kArchiveIpFull = 1;
constexpr int kArchiveIpNone = 2;

// The line ending of every message line and SMTP command: CR LF in the TLS
// modes (submission servers refuse bare LF), else the email_CR setting's.
const char* settings_line_ending(const Settings& settings);

// What the "add_header_line(...)" and "add_body_variable(...)" log lines
// show as the value of a named form field: `value` gives it (null: "").
struct FieldLookup {
  const char* (*value)(const char* name, void* context);
  void* context;
};

// Reads the settings file at `path` into `settings`. Returns false, with
// nothing read, when it cannot be opened (or is a folder).
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
EarlySettings settings_read_early(const char* path);

// settings_read that hands each line, after applying it, to `each` with its
// number (from 1) and how many keys took effect, in place of the
// mistake's error line.
using SettingsLineFn = void (*)(int number, const char* line, int used, void* context);
bool settings_read_each(const char* path, const FieldLookup& shown, Settings* settings,
                        SettingsLineFn each, void* context);

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
