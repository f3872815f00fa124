#include "driver/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "platform/os.h"

constexpr int kTextArea = 10000;
constexpr int kTextLimit = kTextArea - 1;
constexpr char kMakerNotice[] = "(c) the QUILLON developers";

int print_version_banner() {
  printf("\nQUILLON %s Version: %s\n", kMakerNotice, kProgramVersion);
  fflush(stdout);
  return 0;
}

// `step` is "open", "write to" or "close"; errno still holds the failure.
static int blank_log_failed(const char* step) {
  int err = errno;
  printf("cant %s %s for output %d %s\n", step, g_program.log_path, err,
         strerror(err));
  fflush(stdout);
  return 3;
}

int blank_log() {
  static const char kFreshLog[] = "This is the log file for quillon\n";
  // Never through a link at the log's place: the file it points to is not
  // the log, whoever planted it.
  switch (os_write_text_file(g_program.log_path, kFreshLog, strlen(kFreshLog),
                             /*replace=*/true, /*owner_only=*/true)) {
    case kOsWriteOk:
      return 0;
    case kOsOpenFailed:
      return blank_log_failed("open");
    case kOsWriteFailed:
      return blank_log_failed("write to");
    default:
      return blank_log_failed("close");
  }
}

void program_base_name(const char* path, char* out, int size) {
  if (size <= 0) return;
  int length = 0;
  bool after_dot = false;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') {
      length = 0;
      after_dot = false;
    } else if (*p == '.') {
      after_dot = true;
    } else if (!after_dot && length < size - 1) {
      out[length++] = *p;
    }
  }
  out[length] = '\0';
}

static void version_without_dots(char* out) {
  int length = 0;
  for (const char* p = kProgramVersion; *p != '\0' && length < kTextLimit; ++p) {
    if (*p != '.') out[length++] = *p;
  }
  out[length] = '\0';
}

int version_insert_filename(const char* file_argument) {
  static char file[kTextArea];
  static char version[kTextArea];
  static char base[kTextArea];
  static char new_name[kTextArea];

  int file_length = snprintf(file, kTextArea, "%s", file_argument);
  version_without_dots(version);
  program_base_name(program_path(), base, kTextArea);

  size_t base_length = strlen(base);
  // An argument shorter than the base name has no rest: it stays empty
  // rather than reading past the argument's end.
  const char* rest = strlen(file) >= base_length ? file + base_length : "";
  int new_length = snprintf(new_name, kTextArea, "%s%s%s", base, version, rest);

  // A name cut to fit its area would rename some other file, or to a name
  // nobody asked for, so an over-long name is refused like a foreign one.
  bool cut = file_length > kTextLimit || new_length > kTextLimit;
  if (base_length == 0 || strncmp(file, base, base_length) != 0 || cut) {
    printf("I dont want to rename that file (%s)(%s)(%s)(%s)\n", file, version,
           base, new_name);
    fflush(stdout);
    return 3;
  }

  int err = os_rename_noreplace(file, new_name);
  if (err != 0) {
    printf("rename failed. %s  -> %s  %d:%s\n", file, new_name, err,
           strerror(err));
    fflush(stdout);
    return 3;
  }
  printf("renamed  %s  ->  %s\n", file, new_name);
  fflush(stdout);
  return 0;
}
