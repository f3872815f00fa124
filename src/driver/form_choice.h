#pragma once
// Which form a run serves: the request's path (a CGI run) or --form NAME
// (an owner command) chooses a file of the forms' folder, whose settings
// are read over the shared file's (config/settings.h). The forms' folder is
// "forms" beside the program or the shared file's form_folder; without one
// the path is ignored. Driver level: may use base, config and platform;
// sets g_program.form_name and g_program.form_path.

#include "base/request.h"

enum class FormChoice {
  kShared,   // no form: the shared settings file alone
  kForm,     // g_program names the form
  kUnknown,  // the path or name names no form of this install
};

// The form the request's path names.
FormChoice choose_request_form(const Request& request);

// The form called `name` (an owner command's --form NAME).
FormChoice choose_named_form(const char* name);

// Back to the shared settings file alone.
void choose_no_form();

// The names of this install's forms, sorted, into `names` (at most `most`,
// kFormNameMax + 1 bytes each); returns the count, 0 without a folder.
int list_forms(char (*names)[65], int most);
