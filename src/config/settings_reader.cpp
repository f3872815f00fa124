#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/mistake.h"
#include "config/settings_keys.h"
#include "platform/os.h"

// Its line is logged without the password.
static const char kPasswordKeyword[] = "smtp_password ";
// Read once before the others too (settings_read_early).
static const char kFormDecodingKeyword[] = "form_decoding ";
static const char kRunDeadlineKeyword[] = "run_deadline ";

struct KeywordTest {
  const char* keyword;  // compared case-sensitively over its full length
  int (*apply)(Settings* settings, const char* line, const char* rest, const FieldLookup& shown);
  // A text setting: the rest of the line replaces it before `apply` (if
  // any) runs, and the line counts as used.
  char* Settings::*text;
};

// Abbreviated keywords ("remove_empty_variable", "email_CR") are compared
// over the abbreviation only, so the long spellings match too.
static const KeywordTest kKeywordTests[] = {
    {"no_padding", set_no_padding, nullptr},
    {"add_headerline_colon", set_add_headerline_colon, nullptr},
    {"add_zolvar_link ", set_add_zolvar_link, nullptr},
    {"hello_method ", set_hello_method, nullptr},
    {"remove_empty_variable", set_remove_empty_variables, nullptr},
    {"smtp ", nullptr, &Settings::smtp},
    {"logging ", set_logging, &Settings::logging},
    {"email_CR", set_email_line_ending, nullptr},
    {"sendall ", nullptr, &Settings::sendall},
    {"success_html_page ", nullptr, &Settings::success_html_page},
    {"failure_html_page ", nullptr, &Settings::failure_html_page},
    {"headerline ", set_static_header, nullptr},
    {"use_submitted_variable_for_headerline ", set_variable_header, nullptr},
    {"bodycontent_line ", set_static_body, nullptr},
    {"use_submitted_variable_for_bodycontent ", set_variable_body, nullptr},
    {"smtp_timeout ", set_smtp_timeout, nullptr},
    // Delivery through mail providers.
    {"smtp_security ", set_smtp_security, nullptr},
    {"smtp_user ", nullptr, &Settings::smtp_user},
    {kPasswordKeyword, nullptr, &Settings::smtp_password},
    {"smtp_password_file ", nullptr, &Settings::smtp_password_file},
    {"smtp_ca_file ", nullptr, &Settings::smtp_ca_file},
    {"standard_headers ", set_standard_headers, nullptr},
    {"use_submitted_variable_for_reply_to ", nullptr, &Settings::reply_to_variable},
    {"hello_name ", set_hello_name, nullptr},
    // abuse guards
    {"allowed_recipient ", add_allowed_recipient, nullptr},
    {"honeypot_variable ", add_honeypot_variable, nullptr},
    {"required_variable ", add_required_variable, nullptr},
    {"missing_html_page ", nullptr, &Settings::missing_html_page},
    {"allowed_origin ", add_allowed_origin, nullptr},
    {"rate_limit ", set_rate_limit, nullptr},
    // spool
    {"spool_folder ", set_spool_folder, nullptr},
    {"spool_keep_sent ", set_spool_keep_sent, nullptr},
    // answers
    {"http_status ", set_http_status, nullptr},
    {"success_redirect ", set_success_redirect, nullptr},
    {"failure_redirect ", set_failure_redirect, nullptr},
    {"missing_redirect ", set_missing_redirect, nullptr},
    // duplicate posts
    {"duplicate_window ", set_duplicate_window, nullptr},
    // CAPTCHA verification and the confirmation mail
    {"captcha ", set_captcha, nullptr},
    {"captcha_secret_file ", nullptr, &Settings::captcha_secret_file},
    {"captcha_min_score ", set_captcha_min_score, nullptr},
    {"captcha_timeout ", set_captcha_timeout, nullptr},
    {"captcha_unreachable ", set_captcha_unreachable, nullptr},
    {"captcha_action ", nullptr, &Settings::captcha_action},
    {"captcha_verify_url ", nullptr, &Settings::captcha_verify_url},
    {"captcha_ca_file ", nullptr, &Settings::captcha_ca_file},
    {"altcha_key_file ", nullptr, &Settings::altcha_key_file},
    {"altcha_algorithm ", set_altcha_algorithm, nullptr},
    {"altcha_cost ", set_altcha_cost, nullptr},
    {"altcha_expires ", set_altcha_expires, nullptr},
    {"altcha_min_seconds ", set_altcha_min_seconds, nullptr},
    {"altcha_version ", set_altcha_version, nullptr},
    {"autoreply_to_variable ", nullptr, &Settings::autoreply_to_variable},
    {"autoreply_subject ", nullptr, &Settings::autoreply_subject},
    {"autoreply_file ", nullptr, &Settings::autoreply_file},
    {"autoreply_from ", nullptr, &Settings::autoreply_from},
    {"autoreply_window ", set_autoreply_window, nullptr},
    // bounds on the log and the queue
    {"log_max_kb ", set_log_max_kb, nullptr},
    {"spool_max_mb ", set_spool_max_mb, nullptr},
    // the owner's checks
    {"smtp_deadline ", set_smtp_deadline, nullptr},
    // attachments
    {"attachments_max_kb ", set_attachments_max_kb, nullptr},
    {"attachments_max_files ", set_attachments_max_files, nullptr},
    {"attachment_type ", add_attachment_type, nullptr},
    // how a URL-encoded form is decoded
    {kFormDecodingKeyword, set_form_decoding, nullptr},
    {kRunDeadlineKeyword, set_run_deadline, nullptr},
    // the archive
    {"archive ", set_archive, nullptr},
    {"archive_ip ", set_archive_ip, nullptr},
    {"archive_user_agent ", set_archive_user_agent, nullptr},
    {"archive_files ", set_archive_files, nullptr},
    {"archive_timeout ", set_archive_timeout, nullptr},
    {"archive_keep_days ", set_archive_keep_days, nullptr},
    // the judges' memory shared in PostgreSQL
    {"shared_state ", set_shared_state, nullptr},
    {"shared_state_timeout ", set_shared_state_timeout, nullptr},
    {"shared_state_unreachable ", set_shared_state_unreachable, nullptr},
    {"database_password_file ", nullptr, &Settings::database_password_file},
    // the virus scan
    {"virus_scan ", set_virus_scan, nullptr},
    {"virus_timeout ", set_virus_timeout, nullptr},
    {"virus_max_kb ", set_virus_max_kb, nullptr},
    {"virus_unreachable ", set_virus_unreachable, nullptr},
};

const char* settings_line_ending(const Settings& settings) {
  return settings.smtp_security != kSecurityNone ? "\r\n" : settings.email_line_ending;
}

constexpr int kKeywordCount = static_cast<int>(sizeof kKeywordTests / sizeof kKeywordTests[0]);
static_assert(kKeywordCount <= kMistakeMaxKeys, "the probable-mistake tables hold every key");

// The tests by the first character of their keyword, in table order within
// each character: a line is compared with those that can match it only.
struct KeywordIndex {
  int start[257];             // tests of character c: order[start[c]..start[c + 1])
  int order[kKeywordCount];
};

static const KeywordIndex& keyword_index() {
  static KeywordIndex index;
  static bool built = false;
  if (built) return index;
  int count[256] = {};
  for (const KeywordTest& test : kKeywordTests) ++count[static_cast<unsigned char>(test.keyword[0])];
  index.start[0] = 0;
  for (int c = 0; c < 256; ++c) index.start[c + 1] = index.start[c] + count[c];
  int next[256];
  for (int c = 0; c < 256; ++c) next[c] = index.start[c];
  for (int i = 0; i < kKeywordCount; ++i) {
    index.order[next[static_cast<unsigned char>(kKeywordTests[i].keyword[0])]++] = i;
  }
  built = true;
  return index;
}

int settings_apply_line(Settings* settings, const char* line, const FieldLookup& shown) {
  int used = 0;
  const KeywordIndex& index = keyword_index();
  unsigned char first = static_cast<unsigned char>(line[0]);
  // Every test that can match is made, even after one has matched.
  for (int k = index.start[first]; k < index.start[first + 1]; ++k) {
    const KeywordTest& test = kKeywordTests[index.order[k]];
    size_t length = strlen(test.keyword);
    if (strncmp(line, test.keyword, length) != 0) continue;
    const char* rest = line + length;
    if (test.text != nullptr) replace_text(&(settings->*test.text), rest);
    if (test.apply != nullptr) {
      used += test.apply(settings, line, rest, shown);
    } else {
      ++used;
    }
  }
  if (used == 0 || !log_level_enabled(LOG_DEBUG)) return used;
  if (strncmp(line, kPasswordKeyword, strlen(kPasswordKeyword)) == 0) {
    log_event(LOG_DEBUG, "line used from ini file {%s(hidden)}", kPasswordKeyword);
  } else {
    log_event(LOG_DEBUG, "line used from ini file {%s}", line);
  }
  return used;
}

const char* settings_keyword(int index) {
  return index >= 0 && index < kKeywordCount ? kKeywordTests[index].keyword : nullptr;
}

void strip_line_end(char* line) {
  char* cut = strchr(line, '\r');
  if (cut != nullptr) *cut = '\0';
  cut = strchr(line, '\n');
  if (cut != nullptr) *cut = '\0';
}

// The settings file read in blocks, handed out a line at a time.
struct SettingsReader {
  FILE* stream;
  char block[8192];
  size_t have;  // bytes in `block`
  size_t at;    // the first not yet handed out
  bool ended;   // end of file or a read error: nothing more is read
};

// The next line (or a piece of at most kSettingsLineArea - 3 characters of a
// longer one) with its LF in `area`, or null at the end. A read error ends
// the file too, so a failing stream cannot keep the reader going.
static char* read_settings_line(SettingsReader* reader, char* area) {
  const size_t room = kSettingsLineArea - 3;
  size_t length = 0;
  while (length < room) {
    if (reader->at == reader->have) {
      if (reader->ended) break;
      reader->have = fread(reader->block, 1, sizeof reader->block, reader->stream);
      reader->at = 0;
      if (reader->have < sizeof reader->block) reader->ended = true;
      if (reader->have == 0) break;
    }
    const char* from = reader->block + reader->at;
    size_t take = reader->have - reader->at;
    if (take > room - length) take = room - length;
    const char* lf = static_cast<const char*>(memchr(from, '\n', take));
    if (lf != nullptr) take = static_cast<size_t>(lf - from) + 1;
    memcpy(area + length, from, take);
    length += take;
    reader->at += take;
    if (lf != nullptr) break;
  }
  area[length] = '\0';
  return length > 0 ? area : nullptr;
}

// The run's view of a line no key used: an error line when it is a
// probable mistake.
static void log_unused_line(int number, const char* line, int used, void*) {
  if (used == 0) settings_log_mistake(number, line);
}

bool settings_read(const char* path, const FieldLookup& shown, Settings* settings) {
  return settings_read_each(path, shown, settings, log_unused_line, nullptr);
}

bool settings_read_each(const char* path, const FieldLookup& shown, Settings* settings,
                        SettingsLineFn each, void* context) {
  // A folder opens like a file on some systems and fails at the first read;
  // it is no more a settings file than a missing one.
  FILE* stream = os_is_directory(path) ? nullptr : fopen(path, "r");
  if (stream == nullptr) return false;
  // The current line only; whatever is kept is copied out of it.
  char* area = static_cast<char*>(malloc(kSettingsLineArea));
  SettingsReader* reader = static_cast<SettingsReader*>(malloc(sizeof(SettingsReader)));
  if (area == nullptr || reader == nullptr) fatal_reply(kOutOfMemoryCopy);
  reader->stream = stream;
  reader->have = 0;
  reader->at = 0;
  reader->ended = false;
  int number = 0;
  for (char* line = read_settings_line(reader, area); line != nullptr;
       line = read_settings_line(reader, area)) {
    strip_line_end(line);
    ++number;
    each(number, line, settings_apply_line(settings, line, shown), context);
  }
  free(reader);
  free(area);
  fclose(stream);
  return true;
}

static void take_form_decoding(const char* rest, EarlySettings* early) {
  (void)form_decoding_word(rest, &early->classic_form_decoding);
}

static void take_run_deadline(const char* rest, EarlySettings* early) {
  if (run_deadline_seconds(rest, &early->run_deadline)) early->run_deadline_set = true;
}

static const struct {
  const char* keyword;
  void (*take)(const char* rest, EarlySettings* early);
} kEarlyKeys[] = {
    {kFormDecodingKeyword, take_form_decoding},
    {kRunDeadlineKeyword, take_run_deadline},
};

EarlySettings settings_read_early(const char* path) {
  EarlySettings early;
  FILE* stream = os_is_directory(path) ? nullptr : fopen(path, "r");
  if (stream == nullptr) return early;
  char* area = static_cast<char*>(malloc(kSettingsLineArea));
  SettingsReader* reader = static_cast<SettingsReader*>(malloc(sizeof(SettingsReader)));
  if (area == nullptr || reader == nullptr) fatal_reply(kOutOfMemoryCopy);
  *reader = SettingsReader{stream, {}, 0, 0, false};
  // Line by line as settings_read takes them: a later valid line wins.
  for (char* line = read_settings_line(reader, area); line != nullptr;
       line = read_settings_line(reader, area)) {
    strip_line_end(line);
    for (const auto& key : kEarlyKeys) {
      size_t length = strlen(key.keyword);
      if (strncmp(line, key.keyword, length) == 0) key.take(line + length, &early);
    }
  }
  free(reader);
  free(area);
  fclose(stream);
  return early;
}

static void add_entry(LineList* list, const char* list_name, const char* text,
                      const char* value, bool variable) {
  if (text == nullptr || value == nullptr) return;
  if (list->count >= kMaxSettingsEntries) {
    log_event(LOG_ERROR, "the %s list is full (%d entries): {%s} was not added.", list_name,
              kMaxSettingsEntries, text);
    return;
  }
  if (list->entries == nullptr) {
    list->entries = static_cast<LineEntry*>(malloc(sizeof(LineEntry) * kMaxSettingsEntries));
    if (list->entries == nullptr) fatal_reply(kOutOfMemoryCopy);
  }
  LineEntry* entry = &list->entries[list->count];
  entry->text = arena_copy(&list->texts, text, strlen(text));
  entry->variable = variable;
  ++list->count;
}

void add_header_line(Settings* settings, const char* text, const char* value, bool variable) {
  if (log_level_enabled(LOG_DEBUG)) {
    log_event(LOG_DEBUG, "add_header_line(%s,%s)", log_quote(0, text), log_quote(1, value));
  }
  add_entry(&settings->header_lines, "header", text, value, variable);
}

void add_body_variable(Settings* settings, const char* text, const char* value, bool variable) {
  if (log_level_enabled(LOG_DEBUG)) {
    log_event(LOG_DEBUG, "add_body_variable(%s,%s}", log_quote(0, text), log_quote(1, value));
  }
  add_entry(&settings->body_lines, "body", text, value, variable);
}

static void empty_list(LineList* list) {
  free(list->entries);
  list->entries = nullptr;
  arena_free(&list->texts);
  list->count = 0;
}

void settings_free(Settings* settings) {
  if (g_log.logging == settings->logging) g_log.logging = nullptr;
  for (const KeywordTest& test : kKeywordTests) {
    if (test.text != nullptr) free(settings->*test.text);
  }
  SettingList* lists[] = {&settings->allowed_recipients, &settings->honeypot_variables,
                          &settings->required_variables, &settings->allowed_origins,
                          &settings->attachment_types};
  for (SettingList* list : lists) {
    for (int i = 0; i < list->count; ++i) free(list->items[i]);
    free(list->items);
    *list = SettingList{};
  }
  free(settings->spool_folder);
  free(settings->hello_name);
  free(settings->success_redirect);
  free(settings->failure_redirect);
  free(settings->missing_redirect);
  free(settings->captcha);
  free(settings->shared_state);
  free(settings->virus_scan);
  empty_list(&settings->header_lines);
  empty_list(&settings->body_lines);
  *settings = Settings();
}
