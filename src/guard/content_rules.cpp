#include "guard/content_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "base/utf8.h"
#include "guard/captcha.h"
#include "guard/confusables.h"
#include "guard/scripts.h"

namespace {

struct DelimiterTable {
  bool is[256];
  constexpr DelimiterTable() : is() {
    for (int c = 0; c <= ' '; ++c) is[c] = true;
    for (unsigned char c : "<>\"'()[]{},;|") is[c] = true;
  }
};
constexpr DelimiterTable kDelimiters;

inline bool delimiter(unsigned char c) { return kDelimiters.is[c]; }

bool starts_with(const char* text, size_t length, const char* prefix) {
  size_t n = strlen(prefix);
  return length >= n && ascii_equal_n(text, prefix, n);
}

// Where `needle` (lower case) begins in text[0..length), ASCII case
// ignored; `length` when it is not there.
size_t find(const char* text, size_t length, const char* needle) {
  size_t n = strlen(needle);
  for (size_t i = 0; i + n <= length; ++i) {
    if (ascii_equal_n(text + i, needle, n)) return i;
  }
  return length;
}

// Top-level domains a bare host name may end in: the common ones and those
// spam favours, none that is also a usual file ending (.zip, .mov, .md,
// .py, .sh, .pl, .rs, .cc, .ai...).
const char* const kDomains[] = {
    "com",   "net",     "org",    "info",  "biz",   "io",   "co",   "me",  "tv",  "us",   "uk",
    "de",    "fr",      "it",     "es",    "nl",    "eu",   "ru",   "su",  "cn",  "jp",   "in",
    "br",    "au",      "ca",     "ch",    "at",    "be",   "se",   "no",  "dk",  "fi",   "cz",
    "sk",    "ro",      "hu",     "ua",    "kz",    "by",   "tr",   "gr",  "pt",  "ie",   "xyz",
    "top",   "site",    "online", "shop",  "store", "club", "pro",  "app", "dev", "link", "click",
    "live",  "life",    "today",  "win",   "bid",   "loan", "work", "vip", "icu", "buzz", "fun",
    "space", "website", "tech",   "world", "email", "best", "ly",
};

bool listed_domain(const char* label, size_t length) {
  for (const char* domain : kDomains) {
    if (strlen(domain) == length && ascii_equal_n(label, domain, length)) return true;
  }
  return false;
}

// "example.com", "shop.example.co/path": ASCII labels, the last a listed domain.
bool bare_host(const char* token, size_t length) {
  while (length > 0 && strchr(".,!?:", token[length - 1]) != nullptr) --length;
  if (memchr(token, '@', length) != nullptr) return false;
  size_t host = 0;
  while (host < length && strchr("/?#:", token[host]) == nullptr) ++host;
  size_t label_start = 0;
  int dots = 0;
  for (size_t i = 0; i < host; ++i) {
    char c = ascii_lower(token[i]);
    if (c == '.') {
      if (i == label_start) return false;
      ++dots;
      label_start = i + 1;
    } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
  }
  return dots > 0 && label_start < host && listed_domain(token + label_start, host - label_start);
}

bool token_is_link(const char* token, size_t length) {
  // A word with neither ':' nor '.' is none: most are plain words.
  bool colon = memchr(token, ':', length) != nullptr;
  if (!colon && memchr(token, '.', length) == nullptr) return false;
  if (colon &&
      (find(token, length, "http://") < length || find(token, length, "https://") < length)) {
    return true;
  }
  if (starts_with(token, length, "www.") && length > 4) return true;
  return bare_host(token, length);
}

// The end of a BBCode or HTML link element at `text` (after its closing
// tag, or its opening tag when there is none), or 0 when none begins there.
size_t link_element(const char* text, size_t length) {
  const char* close = nullptr;
  if (starts_with(text, length, "[url")) {
    close = "[/url]";
  } else if (starts_with(text, length, "<a") && length > 2 &&
             (text[2] == ' ' || text[2] == '\t' || text[2] == '\n' || text[2] == '\r')) {
    close = "</a>";
  } else {
    return 0;
  }
  size_t at = find(text, length, close);
  if (at < length) return at + strlen(close);
  size_t open_end = static_cast<size_t>(strcspn(text, close[0] == '[' ? "]" : ">"));
  return open_end < length ? open_end + 1 : length;
}

bool is_address(const char* text) {
  const char* at = strchr(text, '@');
  return at != nullptr && at != text && strpbrk(text, " \t\r\n") == nullptr &&
         strchr(at, '.') != nullptr;
}

// Appends a reason to `reasons`, after "; " when there is one before.
void add_reason(char* reasons, size_t size, const char* reason) {
  size_t used = strlen(reasons);
  snprintf(reasons + used, size - used, "%s%s", used > 0 ? "; " : "", reason);
}

}  // namespace

int count_links(const char* text, size_t length) {
  int count = 0;
  for (size_t i = 0; i < length;) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '[' || c == '<') {
      size_t element = link_element(text + i, length - i);
      if (element > 0) {
        ++count;
        i += element;
        continue;
      }
    }
    if (delimiter(c)) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < length && !delimiter(static_cast<unsigned char>(text[end]))) ++end;
    if (token_is_link(text + i, end - i)) ++count;
    i = end;
  }
  return count;
}

bool only_a_link(const char* text) {
  size_t start = strspn(text, " \t\r\n");
  size_t end = strlen(text);
  while (end > start && strchr(" \t\r\n", text[end - 1]) != nullptr) --end;
  if (end == start) return false;
  size_t element = link_element(text + start, end - start);
  // Text with blanks in it is more than a link, unless it is one element.
  if (element == 0) {
    for (size_t i = start; i < end; ++i) {
      if (delimiter(static_cast<unsigned char>(text[i]))) return false;
    }
  }
  if (count_links(text + start, end - start) != 1) return false;
  if (element > 0) return element == end - start;
  return true;
}

ScriptCount count_scripts(const char* text, size_t length, const int* allowed, int count,
                          int* foreign) {
  ScriptCount result = {0, 0};
  int outside[static_cast<int>(Script::kOther) + 1] = {};
  unsigned mask = 0;
  for (int i = 0; i < count; ++i) mask |= 1u << allowed[i];
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < length;) {
    uint32_t c = bytes[at];
    int size = 1;
    if (c >= 0x80) {
      size = utf8_sequence(bytes + at, length - at, &c);
      if (size == 0) size = 1;
    }
    at += static_cast<size_t>(size);
    Script script = Script::kLatin;
    if (c < 0x80) {
      if (!((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) continue;
    } else {
      script = script_of(c);
    }
    if (script == Script::kNone) continue;
    ++result.letters;
    if (mask & (1u << static_cast<int>(script))) continue;
    ++result.outside;
    ++outside[static_cast<int>(script)];
  }
  *foreign = 0;
  for (int i = 1; i <= static_cast<int>(Script::kOther); ++i) {
    if (outside[i] > outside[*foreign]) *foreign = i;
  }
  return result;
}

// The values the rules read: all but the CAPTCHA token and the honeypot
// fields (a filled honeypot never reaches them).
static bool judged_field(const Settings& settings, const char* name) {
  if (captcha_is_token_field(name)) return false;
  for (int i = 0; i < settings.honeypot_variables.count; ++i) {
    if (strcmp(settings.honeypot_variables.items[i], name) == 0) return false;
  }
  return true;
}

static void links_rule(const Settings& settings, const FormTable& form, char* reasons,
                       size_t size) {
  if (settings.spam_max_links <= 0) return;
  long links = 0;
  for (int i = 0; i < form.count; ++i) {
    if (!judged_field(settings, form.names[i])) continue;
    links += count_links(form.values[i], strlen(form.values[i]));
  }
  if (links > settings.spam_max_links) {
    char reason[64];
    snprintf(reason, sizeof reason, "%ld links, limit %d", links, settings.spam_max_links);
    add_reason(reasons, size, reason);
  }
}

static void words_rule(const Settings& settings, const FormTable& form, char* reasons,
                       size_t size) {
  if (settings.spam_words == nullptr) return;
  WordSet set = {};
  char why[300];
  if (!word_set_read(settings.spam_words, &set, why, sizeof why)) {
    log_event(LOG_ERROR, "spam_words {%s} cannot be read (%s); the words are not checked.",
              settings.spam_words, why);
    return;
  }
  char found[200];
  for (int i = 0; i < form.count; ++i) {
    if (!judged_field(settings, form.names[i])) continue;
    if (word_set_find(set, form.values[i], strlen(form.values[i]), found, sizeof found)) {
      char reason[220];
      snprintf(reason, sizeof reason, "word \"%s\"", found);
      add_reason(reasons, size, reason);
      break;
    }
  }
  word_set_free(&set);
}

static void scripts_rule(const Settings& settings, const FormTable& form, char* reasons,
                         size_t size) {
  const SettingList& names = settings.spam_scripts;
  if (names.count == 0) return;
  int allowed[64];
  int count = 0;
  for (int i = 0; i < names.count && count < 64; ++i) {
    Script script;
    if (script_named(names.items[i], &script)) {
      allowed[count++] = static_cast<int>(script);
    } else {
      log_event(LOG_ERROR, "spam_scripts {%s} names no script this program knows; left out.",
                names.items[i]);
    }
  }
  if (count == 0) return;
  for (int i = 0; i < form.count; ++i) {
    if (!judged_field(settings, form.names[i])) continue;
    int foreign = 0;
    ScriptCount seen =
        count_scripts(form.values[i], strlen(form.values[i]), allowed, count, &foreign);
    if (seen.outside * 2 > seen.letters) {
      char reason[64];
      snprintf(reason, sizeof reason, "mostly %s letters",
               script_name(static_cast<Script>(foreign)));
      add_reason(reasons, size, reason);
      return;
    }
  }
}

static void same_value_rule(const Settings& settings, const FormTable& form, char* reasons,
                            size_t size) {
  if (!settings.spam_same_value) return;
  const char* first = nullptr;
  const char* free_text = nullptr;
  int filled = 0;
  bool same = true;
  for (int i = 0; i < form.count; ++i) {
    const char* value = form.values[i];
    if (!judged_field(settings, form.names[i]) || value[0] == '\0') continue;
    ++filled;
    if (first == nullptr) first = value;
    same = same && strcmp(first, value) == 0;
    if (!is_address(value) && (free_text == nullptr || strlen(value) > strlen(free_text))) {
      free_text = value;
    }
  }
  if (filled >= 2 && same) {
    add_reason(reasons, size, "the same text in every field");
  } else if (free_text != nullptr && only_a_link(free_text)) {
    add_reason(reasons, size, "only a link");
  }
}

bool content_rules_catch(const Settings& settings, const FormTable& form, char* reasons,
                         size_t reasons_size) {
  reasons[0] = '\0';
  links_rule(settings, form, reasons, reasons_size);
  words_rule(settings, form, reasons, reasons_size);
  scripts_rule(settings, form, reasons, reasons_size);
  same_value_rule(settings, form, reasons, reasons_size);
  return reasons[0] != '\0';
}
