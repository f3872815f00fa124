#pragma once
// The maintenance commands "-version", "-blanklog" and
// "-version_insert_filename". Each prints to standard output only and ends
// the process with its exit code.

[[noreturn]] void print_version_banner();
[[noreturn]] void blank_log();
[[noreturn]] void version_insert_filename(const char* file_argument);

// Reduces a program path to its base name: the last component up to its
// first "." ("C:\build\quillon.exe" -> "quillon"). `out` holds `size` bytes.
void program_base_name(const char* program_path, char* out, int size);
