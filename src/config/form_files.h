#pragma once
// Several forms from one install: which form a request's path names, and
// where that form's settings file lies. Pure text work: no file is opened
// here (the driver asks whether the file exists). May use src/base only.
// Errors: a path that names no usable form is reported by the result;
// nothing here fails otherwise.

#include <cstddef>

constexpr int kFormNameMax = 64;

// Whether `name` is a form's name: 1 to 64 of a-z, 0-9, "-" and "_".
bool form_name_valid(const char* name);

enum class FormPath {
  kNone,     // no path, or "/": the shared settings file alone
  kName,     // a valid name, copied out
  kInvalid,  // anything else: no form has this name
};

// The form a request names: PATH_INFO after the program, with SCRIPT_NAME
// taken off its front where the server includes it (as IIS does), then one
// "/". `name` holds kFormNameMax + 1 bytes.
FormPath form_name_from_path(const char* path_info, const char* script_name, char* name);

// The folder of the forms' files into `out` (`size` bytes): `form_folder`
// when the settings name one (relative to the settings file's folder unless
// absolute), else "forms" beside the settings file at `ini_path`. False when
// it does not fit.
bool form_folder_path(const char* ini_path, const char* form_folder, bool absolute, char* out,
                      size_t size);

// FOLDER/NAME.ini into `out`; false when it does not fit.
bool form_file_path(const char* folder, const char* name, char* out, size_t size);
