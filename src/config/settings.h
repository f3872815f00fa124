#pragma once
// The settings file: the Settings record and the header and body lists.

constexpr int kMaxSettingsEntries = 1000;
constexpr int kSettingsLineArea = 64000;
constexpr int kDefaultSmtpTimeout = 60;

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

// The defaults are the member initialisers. A text setting is a heap copy
// (null when absent) that a later line of the same key replaces.
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
};
extern Settings g_settings;

// A header or body entry: the text after the keyword, and the submitted
// value for lines that name a variable ("" for static lines).
struct LineEntry {
  char* text;
  char* value;
};
using HeaderLine = LineEntry;
using BodyLine = LineEntry;

struct LineList {
  LineEntry entries[kMaxSettingsEntries];
  int count;
};
extern LineList header_lines;
extern LineList body_lines;

// Reads the settings file at g_program.ini_path into g_settings, header_lines
// and body_lines; fatal_reply("The ini file could not be opened.") when it
// cannot be opened.
void read_settings();

// Applies the keyword tests to one line whose line end was already stripped;
// returns how many took effect (and logs "line used from ini file {...}").
// A `logging` line also sets g_log.logging, so the log follows it at once.
int settings_apply_line(const char* line);

// The keyword of the index-th keyword test, or null past the last one.
const char* settings_keyword(int index);

// Cuts `line` at its first CR and then at its first LF.
void strip_line_end(char* line);

// Log the entry at the debug level, then append copies of `text` and `value`
// to header_lines / body_lines. Nothing is stored when either is null, and
// an entry beyond kMaxSettingsEntries is refused with an error line.
void add_header_line(const char* text, const char* value);
void add_body_variable(const char* text, const char* value);

// Restores the defaults and empties the lists (tests only).
void settings_reset();
