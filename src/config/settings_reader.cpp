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
    // the spam judges and the quarantine
    {"spam_max_links ", set_spam_max_links, nullptr},
    {"spam_words ", nullptr, &Settings::spam_words},
    {"spam_scripts ", set_spam_scripts, nullptr},
    {"spam_same_value ", set_spam_same_value, nullptr},
    {"spam_refuse ", set_spam_refuse, nullptr},
    {"spam_engine ", set_spam_engine, nullptr},
    {"spam_timeout ", set_spam_timeout, nullptr},
    {"spam_quarantine_score ", set_spam_quarantine_score, nullptr},
    {"spam_reject_score ", set_spam_reject_score, nullptr},
    {"spam_tag ", set_spam_tag, nullptr},
    {"spam_subject_tag ", nullptr, &Settings::spam_subject_tag},
    {"spam_unreachable ", set_spam_unreachable, nullptr},
    {"spam_learn ", set_spam_learn, nullptr},
    {"spam_controller ", nullptr, &Settings::spam_controller},
    {"spam_controller_password_file ", nullptr,
     &Settings::spam_controller_password_file},
    {"quarantine_keep_days ", set_quarantine_keep_days, nullptr},
    // webhooks
    {"webhook ", add_webhook, nullptr},
    {"webhook_allow_http ", set_webhook_allow_http, nullptr},
    {"webhook_timeout ", set_webhook_timeout, nullptr},
    {"webhook_secret_file ", nullptr, &Settings::webhook_secret_file},
    {"webhook_ca_file ", nullptr, &Settings::webhook_ca_file},
    {"webhook_retry_days ", set_webhook_retry_days, nullptr},
    {"send_mail ", set_send_mail, nullptr},
    // several forms, texts by language and HTML mail
    {"form_folder ", nullptr, &Settings::form_folder},
    {"languages ", set_languages, nullptr},
    {"messages_file ", add_messages_file, nullptr},
    {"html_template ", nullptr, &Settings::html_template},
    {"field_label ", add_field_label, nullptr},
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

// The index of every test that matches `line` into `out`; returns the count.
static int matching_tests(const char* line, int* out) {
  const KeywordIndex& index = keyword_index();
  unsigned char first = static_cast<unsigned char>(line[0]);
  int count = 0;
  for (int k = index.start[first]; k < index.start[first + 1]; ++k) {
    const char* keyword = kKeywordTests[index.order[k]].keyword;
    if (strncmp(line, keyword, strlen(keyword)) == 0) out[count++] = index.order[k];
  }
  return count;
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

// Hands each line of the file at `path`, its line end stripped, to `take`
// with its number (from 1). False when the file cannot be opened.
template <typename Take>
static bool read_lines(const char* path, Take take) {
  // A folder opens like a file on some systems and fails at the first read;
  // it is no more a settings file than a missing one.
  FILE* stream = os_is_directory(path) ? nullptr : fopen(path, "r");
  if (stream == nullptr) return false;
  // The current line only; whatever is kept is copied out of it.
  char* area = static_cast<char*>(malloc(kSettingsLineArea));
  SettingsReader* reader = static_cast<SettingsReader*>(malloc(sizeof(SettingsReader)));
  if (area == nullptr || reader == nullptr) fatal_reply(kOutOfMemoryCopy);
  *reader = SettingsReader{stream, {}, 0, 0, false};
  int number = 0;
  for (char* line = read_settings_line(reader, area); line != nullptr;
       line = read_settings_line(reader, area)) {
    strip_line_end(line);
    take(++number, line);
  }
  free(reader);
  free(area);
  fclose(stream);
  return true;
}

static bool form_chosen(const char* path) {
  return g_program.form_name[0] != '\0' && strcmp(path, g_program.ini_path) == 0;
}

bool settings_read_each(const char* path, const FieldLookup& shown, Settings* settings,
                        SettingsLineFn each, void* context) {
  if (form_chosen(path)) {
    FormKeys keys;
    if (!settings_form_keys(g_program.form_path, &keys)) return false;
    return settings_read_layer(path, &keys, false, shown, settings, each, context) &&
           settings_read_layer(g_program.form_path, nullptr, true, shown, settings, each,
                               context);
  }
  return read_lines(path, [&](int number, const char* line) {
    each(number, line, settings_apply_line(settings, line, shown), context);
  });
}

// Keys that fill one list: the form setting either takes the whole list.
static const char* const kListGroups[][2] = {
    {"headerline ", "use_submitted_variable_for_headerline "},
    {"bodycontent_line ", "use_submitted_variable_for_bodycontent "},
};
// The one log's keys, read from the shared file only.
static const char* const kSharedOnly[] = {"logging ", "log_max_kb "};

static int test_index(const char* keyword) {
  for (int i = 0; i < kKeywordCount; ++i) {
    if (strcmp(kKeywordTests[i].keyword, keyword) == 0) return i;
  }
  return -1;
}

static_assert(kKeywordCount <= kFormKeysMax, "FormKeys holds every key");

bool settings_form_keys(const char* path, FormKeys* keys) {
  *keys = FormKeys{};
  bool read = read_lines(path, [&](int, const char* line) {
    int found[kKeywordCount];
    int count = matching_tests(line, found);
    for (int i = 0; i < count; ++i) keys->set[found[i]] = true;
  });
  for (const auto& group : kListGroups) {
    int a = test_index(group[0]);
    int b = test_index(group[1]);
    if (a >= 0 && b >= 0 && (keys->set[a] || keys->set[b])) keys->set[a] = keys->set[b] = true;
  }
  for (const char* keyword : kSharedOnly) {
    int i = test_index(keyword);
    if (i >= 0) keys->set[i] = false;
  }
  return read;
}

// Whether the layer leaves `line` to the other file.
static bool left_to_other(const char* line, const FormKeys* form_keys, bool form_file) {
  int found[kKeywordCount];
  int count = matching_tests(line, found);
  for (int i = 0; i < count; ++i) {
    if (form_keys != nullptr && form_keys->set[found[i]]) return true;
    if (!form_file) continue;
    for (const char* keyword : kSharedOnly) {
      if (strcmp(kKeywordTests[found[i]].keyword, keyword) == 0) return true;
    }
  }
  return false;
}

bool settings_read_layer(const char* path, const FormKeys* form_keys, bool form_file,
                         const FieldLookup& shown, Settings* settings, SettingsLineFn each,
                         void* context) {
  return read_lines(path, [&](int number, const char* line) {
    if (left_to_other(line, form_keys, form_file)) {
      each(number, line, form_file ? kSettingsLineSharedOnly : kSettingsLineReplaced, context);
      return;
    }
    each(number, line, settings_apply_line(settings, line, shown), context);
  });
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

static void take_early_line(const char* line, EarlySettings* early) {
  for (const auto& key : kEarlyKeys) {
    size_t length = strlen(key.keyword);
    if (strncmp(line, key.keyword, length) == 0) key.take(line + length, early);
  }
}

EarlySettings settings_read_early(const char* path) {
  EarlySettings early;
  // Line by line as settings_read takes them: a later valid line wins, and
  // the form's file comes last.
  FormKeys keys = {};
  bool form = form_chosen(path) && settings_form_keys(g_program.form_path, &keys);
  read_lines(path, [&](int, const char* line) {
    if (!left_to_other(line, form ? &keys : nullptr, false)) take_early_line(line, &early);
  });
  if (form) {
    read_lines(g_program.form_path, [&](int, const char* line) { take_early_line(line, &early); });
  }
  return early;
}

bool settings_read_form_folder(const char* path, char* out, size_t size) {
  static const char kKeyword[] = "form_folder ";
  bool found = false;
  read_lines(path, [&](int, const char* line) {
    if (strncmp(line, kKeyword, sizeof kKeyword - 1) != 0) return;
    const char* rest = line + sizeof kKeyword - 1;
    if (rest[0] == '\0' || strlen(rest) >= size) return;
    snprintf(out, size, "%s", rest);
    found = true;
  });
  return found;
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
                          &settings->attachment_types, &settings->spam_scripts,
                          &settings->webhooks, &settings->languages,
                          &settings->messages_files, &settings->field_labels};
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
  free(settings->spam_engine_address);
  empty_list(&settings->header_lines);
  empty_list(&settings->body_lines);
  *settings = Settings();
}
