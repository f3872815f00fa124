// The settings keys of the spam judges and the quarantine: the content
// rules, the engine, and how the owner's review teaches it. One handler a
// key, called by the settings reader (settings_keys.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/settings_keys.h"

constexpr int kMaxSpamLinks = 1000;
constexpr int kMaxSpamTimeout = 600;
constexpr int kMaxQuarantineDays = 36500;

static int set_flag(bool* slot, const char* key, const char* rest) {
  if (strcmp(rest, "true") != 0 && strcmp(rest, "false") != 0) {
    log_event(LOG_ERROR, "%s{%s} is neither true nor false; keeping %s.", key, rest,
              *slot ? "true" : "false");
    return 0;
  }
  *slot = rest[0] == 't';
  return 1;
}

int set_spam_max_links(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->spam_max_links, "spam_max_links ", rest, 0, kMaxSpamLinks,
                            "");
}

// "Latin Greek": the names are stored as given; the content rules say
// which they do not know.
int set_spam_scripts(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  char word[64];
  int used = 0;
  for (const char* at = rest; *at != '\0';) {
    size_t length = strcspn(at, " \t,");
    if (length > 0 && length < sizeof word) {
      snprintf(word, sizeof word, "%.*s", static_cast<int>(length), at);
      used = add_to_list(&settings->spam_scripts, "spam_scripts ", word) | used;
    } else if (length > 0) {
      log_event(LOG_ERROR, "spam_scripts {%.*s} is no script name; left out.",
                static_cast<int>(length > 60 ? 60 : length), at);
    }
    at += length;
    at += strspn(at, " \t,");
  }
  return used;
}

int set_spam_same_value(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_flag(&settings->spam_same_value, "spam_same_value ", rest);
}

int set_spam_refuse(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_flag(&settings->spam_refuse, "spam_refuse ", rest);
}

// "rspamd URL", "spamd HOST:PORT" or "spamd /path/to/socket"; "none" turns it off.
int set_spam_engine(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "none") == 0) {
    settings->spam_engine = kSpamEngineNone;
    return 1;
  }
  int engine = kSpamEngineNone;
  const char* address = nullptr;
  if (strncmp(rest, "rspamd ", 7) == 0) {
    engine = kSpamEngineRspamd;
    address = rest + 7;
  } else if (strncmp(rest, "spamd ", 6) == 0) {
    engine = kSpamEngineSpamd;
    address = rest + 6;
  }
  while (address != nullptr && *address == ' ') ++address;
  if (address == nullptr || *address == '\0' || strchr(address, ' ') != nullptr) {
    log_event(LOG_ERROR,
              "spam_engine {%s} is neither \"rspamd URL\" nor \"spamd HOST:PORT\" (or a socket "
              "path); keeping %s.",
              rest, settings->spam_engine == kSpamEngineNone ? "none" : "the one before");
    return 0;
  }
  settings->spam_engine = engine;
  replace_text(&settings->spam_engine_address, address);
  return 1;
}

int set_spam_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->spam_timeout, "spam_timeout ", rest, 1, kMaxSpamTimeout,
                            " of seconds");
}

// A score from 0 to 1000, with up to two decimals.
static int set_score(double* slot, const char* key, const char* rest) {
  char* end = nullptr;
  double value = strtod(rest, &end);
  bool plain = rest[0] >= '0' && rest[0] <= '9' && strspn(rest, "0123456789.") == strlen(rest);
  if (!plain || end == rest || *end != '\0' || value > 1000) {
    log_event(LOG_ERROR, "%s{%s} is not a score from 0 to 1000; keeping %s.", key, rest,
              *slot < 0 ? "the engine's own" : "the one before");
    return 0;
  }
  *slot = value;
  return 1;
}

int set_spam_quarantine_score(Settings* settings, const char*, const char* rest,
                              const FieldLookup&) {
  return set_score(&settings->spam_quarantine_score, "spam_quarantine_score ", rest);
}

int set_spam_reject_score(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_score(&settings->spam_reject_score, "spam_reject_score ", rest);
}

int set_spam_tag(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_flag(&settings->spam_tag, "spam_tag ", rest);
}

int set_spam_unreachable(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "send") != 0 && strcmp(rest, "quarantine") != 0) {
    log_event(LOG_ERROR, "spam_unreachable {%s} is neither send nor quarantine; keeping %s.", rest,
              settings->spam_unreachable_quarantine ? "quarantine" : "send");
    return 0;
  }
  settings->spam_unreachable_quarantine = rest[0] == 'q';
  return 1;
}

int set_spam_learn(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_flag(&settings->spam_learn, "spam_learn ", rest);
}

int set_quarantine_keep_days(Settings* settings, const char*, const char* rest,
                             const FieldLookup&) {
  return set_bounded_number(&settings->quarantine_keep_days, "quarantine_keep_days ", rest, 0,
                            kMaxQuarantineDays, " of days");
}

const char* spam_subject_tag(const Settings& settings) {
  return settings.spam_subject_tag != nullptr ? settings.spam_subject_tag : "[SPAM] ";
}
