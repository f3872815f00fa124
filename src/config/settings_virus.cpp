// The keys of the virus scan: where clamd listens, how long a scan may
// take, clamd's stream limit, and what an unscanned message does.
#include <cstring>

#include "base/log.h"
#include "config/settings_keys.h"

// clamd takes streams of at most 4 GB.
constexpr int kMaxVirusKb = 4 * 1024 * 1024;
constexpr int kMaxVirusTimeout = 600;

// "clamd HOST:PORT" or "clamd /path/clamd.ctl".
int set_virus_scan(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  static const char kEngine[] = "clamd ";
  size_t prefix = sizeof kEngine - 1;
  // The address is looked at only past a whole "clamd ".
  bool engine = strncmp(rest, kEngine, prefix) == 0;
  const char* address = engine ? rest + prefix : "";
  bool tcp = strchr(address, ':') != nullptr;
  if (!engine || (address[0] != '/' && !tcp) || strchr(address, ' ') != nullptr) {
    log_event(LOG_ERROR, "virus_scan {%s} is not \"clamd HOST:PORT\" or \"clamd /path\"; "
              "keeping %s.", rest, settings->virus_scan != nullptr ? settings->virus_scan : "off");
    return 0;
  }
  replace_text(&settings->virus_scan, address);
  return 1;
}

int set_virus_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->virus_timeout, "virus_timeout ", rest, 1,
                            kMaxVirusTimeout, " of seconds");
}

int set_virus_max_kb(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->virus_max_kb, "virus_max_kb ", rest, 1, kMaxVirusKb, "");
}

int set_virus_unreachable(Settings* settings, const char*, const char* rest,
                          const FieldLookup&) {
  if (strcmp(rest, "keep") != 0 && strcmp(rest, "send") != 0) {
    log_event(LOG_ERROR, "virus_unreachable {%s} is neither keep nor send; keeping %s.", rest,
              settings->virus_unreachable_send ? "send" : "keep");
    return 0;
  }
  settings->virus_unreachable_send = rest[0] == 's';
  return 1;
}
