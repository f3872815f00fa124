#include "driver/form_choice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "config/form_files.h"
#include "config/settings.h"
#include "platform/os.h"

static_assert(sizeof g_program.form_name == kFormNameMax + 1, "a form's name fits");

// The forms' folder into `out`; false when this install has none.
static bool forms_folder(char* out, size_t size) {
  char named[4096];
  if (settings_read_form_folder(g_program.ini_path, named, sizeof named)) {
    return form_folder_path(g_program.ini_path, named, os_path_is_absolute(named), out, size);
  }
  return form_folder_path(g_program.ini_path, nullptr, false, out, size) && os_is_directory(out);
}

void choose_no_form() {
  g_program.form_name[0] = '\0';
  g_program.form_path[0] = '\0';
}

FormChoice choose_named_form(const char* name) {
  choose_no_form();
  static char folder[kPathAreaSize];
  if (!forms_folder(folder, sizeof folder)) return FormChoice::kUnknown;
  if (!form_name_valid(name)) return FormChoice::kUnknown;
  char* path = g_program.form_path;
  if (!form_file_path(folder, name, path, kPathAreaSize) || os_is_directory(path)) {
    path[0] = '\0';
    return FormChoice::kUnknown;
  }
  FILE* file = fopen(path, "r");  // opened, not read: whether it is there
  if (file == nullptr) {
    path[0] = '\0';
    return FormChoice::kUnknown;
  }
  fclose(file);
  snprintf(g_program.form_name, sizeof g_program.form_name, "%s", name);
  return FormChoice::kForm;
}

FormChoice choose_request_form(const Request& request) {
  choose_no_form();
  char name[kFormNameMax + 1];
  FormPath path = form_name_from_path(request.path_info, request.script_name, name);
  if (path == FormPath::kNone) return FormChoice::kShared;
  static char folder[kPathAreaSize];
  // Without a forms' folder the path means nothing, as it always did.
  if (!forms_folder(folder, sizeof folder)) return FormChoice::kShared;
  if (path == FormPath::kInvalid) return FormChoice::kUnknown;
  return choose_named_form(name);
}

struct FormNames {
  char (*names)[65];
  int most;
  int count;
};

static void take_form_file(const char* file, void* context) {
  FormNames* list = static_cast<FormNames*>(context);
  size_t length = strlen(file);
  if (length < 5 || strcmp(file + length - 4, ".ini") != 0 || list->count >= list->most) return;
  char name[kFormNameMax + 1];
  if (length - 4 > static_cast<size_t>(kFormNameMax)) return;
  snprintf(name, sizeof name, "%.*s", static_cast<int>(length - 4), file);
  if (form_name_valid(name)) snprintf(list->names[list->count++], 65, "%s", name);
}

static int compare_names(const void* a, const void* b) {
  return strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

int list_forms(char (*names)[65], int most) {
  static char folder[kPathAreaSize];
  if (!forms_folder(folder, sizeof folder)) return 0;
  FormNames list = {names, most, 0};
  if (os_list_directory(folder, take_form_file, &list) != 0) return 0;
  qsort(names, static_cast<size_t>(list.count), sizeof names[0], compare_names);
  return list.count;
}
