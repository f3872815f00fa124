#pragma once
// The maintenance commands "-version", "-blanklog" and
// "-version_insert_filename". Each prints to standard output only and
// returns the process's exit code (0, or 3 when it failed).

int print_version_banner();
int blank_log();
int version_insert_filename(const char* file_argument);

// Reduces a program path to its base name: the last component up to its
// first "." ("C:\build\quillon.exe" -> "quillon"). `out` holds `size` bytes.
void program_base_name(const char* path, char* out, int size);
