#include "config/form_files.h"

#include <cstdio>
#include <cstring>

bool form_name_valid(const char* name) {
  size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    char c = name[length];
    bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed || length >= static_cast<size_t>(kFormNameMax)) return false;
  }
  return length > 0;
}

FormPath form_name_from_path(const char* path_info, const char* script_name, char* name) {
  name[0] = '\0';
  if (path_info == nullptr) return FormPath::kNone;
  const char* rest = path_info;
  size_t script_length = script_name != nullptr ? strlen(script_name) : 0;
  // IIS hands the whole path, the program's own part included.
  if (script_length > 0 && strncmp(rest, script_name, script_length) == 0 &&
      (rest[script_length] == '\0' || rest[script_length] == '/')) {
    rest += script_length;
  }
  if (rest[0] == '/') ++rest;
  if (rest[0] == '\0') return FormPath::kNone;
  if (!form_name_valid(rest)) return FormPath::kInvalid;
  snprintf(name, kFormNameMax + 1, "%s", rest);
  return FormPath::kName;
}

// The length of the folder part of `path`, its last separator included.
static size_t folder_length(const char* path) {
  size_t cut = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '/' || path[i] == '\\') cut = i + 1;
  }
  return cut;
}

bool form_folder_path(const char* ini_path, const char* form_folder, bool absolute, char* out,
                      size_t size) {
  const char* folder = form_folder != nullptr ? form_folder : "forms";
  int written = absolute ? snprintf(out, size, "%s", folder)
                         : snprintf(out, size, "%.*s%s", static_cast<int>(folder_length(ini_path)),
                                    ini_path, folder);
  return written >= 0 && static_cast<size_t>(written) < size;
}

bool form_file_path(const char* folder, const char* name, char* out, size_t size) {
  size_t length = strlen(folder);
  bool separator = length > 0 && (folder[length - 1] == '/' || folder[length - 1] == '\\');
  int written = snprintf(out, size, "%s%s%s.ini", folder, separator ? "" : "/", name);
  return written >= 0 && static_cast<size_t>(written) < size;
}
