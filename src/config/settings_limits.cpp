// The settings keys that bound things: the log's and the queue's sizes, the
// whole mail exchange's time, the attachments taken. One handler a key,
// called by the settings reader (settings_keys.h).
#include "config/settings_keys.h"

#include <cstring>

#include "base/log.h"
#include "base/program.h"

constexpr int kMaxLogKb = 4 * 1024 * 1024;
constexpr int kMaxSpoolMb = 1024 * 1024;
constexpr int kMaxAttachmentsKbSetting = 20480;
constexpr int kMaxAttachmentsFilesSetting = 100;

// bounds on the log and the queue

// Also bounds the log at once, from this very line on.
int set_log_max_kb(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  int used = set_bounded_number(&settings->log_max_kb, "log_max_kb ", rest, 0, kMaxLogKb, "");
  g_log.max_bytes = static_cast<long long>(settings->log_max_kb) * 1024;
  return used;
}

int set_spool_max_mb(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->spool_max_mb, "spool_max_mb ", rest, 0, kMaxSpoolMb, "");
}

// the owner's checks

// Digits only, 1 to kMaxSmtpTimeout; anything else keeps the value in force.
int set_smtp_deadline(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->smtp_deadline, "smtp_deadline ", rest, 1,
                            kMaxSmtpTimeout, " of seconds");
}

bool run_deadline_seconds(const char* rest, int* seconds) {
  const char* p = rest;
  int value = 0;
  if (!read_bounded_number(&p, kMaxSmtpTimeout, &value) || *p != '\0' || value < 1) return false;
  *seconds = value;
  return true;
}

int set_run_deadline(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->run_deadline, "run_deadline ", rest, 1, kMaxSmtpTimeout,
                            " of seconds");
}

int set_attachments_max_kb(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  return set_bounded_number(&settings->attachments_max_kb, "attachments_max_kb ", rest, 1,
                            kMaxAttachmentsKbSetting, "");
}

int set_attachments_max_files(Settings* settings, const char*, const char* rest,
                              const FieldLookup&) {
  return set_bounded_number(&settings->attachments_max_files, "attachments_max_files ", rest, 1,
                            kMaxAttachmentsFilesSetting, "");
}

// Endings a mail reader may run rather than show (programs, scripts,
// shortcuts, installers, disk images that carry them, documents with
// macros, markup that runs script), and what mail filters refuse for that
// reason: never taken, even when listed.
static const char* const kProgramEndings[] = {
    ".exe",  ".com",  ".bat",  ".cmd",   ".scr",  ".pif",  ".msi",    ".msp",  ".mst",
    ".msix", ".msixbundle", ".appx", ".appxbundle", ".dll", ".sys", ".cpl",  ".ocx",
    ".js",   ".jse",  ".mjs",  ".vb",    ".vbs",  ".vbe",  ".wsf",    ".wsh",  ".wsc",
    ".sct",  ".hta",  ".ps1",  ".psm1",  ".jar",  ".jnlp", ".sh",     ".php",  ".pl",
    ".py",   ".cgi",  ".lnk",  ".url",   ".scf",  ".shb",  ".desktop", ".reg", ".inf",
    ".ins",  ".isp",  ".chm",  ".hlp",   ".gadget", ".msc", ".ade",   ".adp",  ".mde",
    ".lib",  ".nsh",  ".vxd",  ".xll",   ".apk",  ".dmg",  ".iso",    ".img",  ".vhd",
    ".vhdx", ".cab",  ".one",  ".docm",  ".dotm", ".xlsm", ".xltm",   ".xlam", ".pptm",
    ".potm", ".ppsm", ".ppam", ".html",  ".htm",  ".svg",  ".xhtml",  ".mht",  ".mhtml"};

// ".pdf": a dot and up to 15 letters, digits, '_' or '-', stored lower-case.
int add_attachment_type(Settings* settings, const char*, const char* rest,
                        const FieldLookup&) {
  size_t length = strlen(rest);
  bool valid = rest[0] == '.' && length >= 2 && length <= 16;
  char ending[17] = {0};
  for (size_t i = 0; valid && i < length; ++i) {
    char c = ascii_lower(rest[i]);
    valid = i == 0 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    ending[i] = c;
  }
  if (!valid) {
    log_event(LOG_ERROR, "attachment_type {%s} is not a file name ending (.pdf); line ignored.",
              rest);
    return 0;
  }
  for (const char* program : kProgramEndings) {
    if (strcmp(ending, program) == 0) {
      log_event(LOG_ERROR,
                "attachment_type {%s} names programs or scripts, never attached; line ignored.",
                rest);
      return 0;
    }
  }
  return add_to_list(&settings->attachment_types, "attachment_type ", ending);
}
