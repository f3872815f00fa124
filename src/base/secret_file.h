#pragma once
// The one reader of "a secret on the first line of a file" (the SMTP
// password file, the CAPTCHA secret file). Reads the file and touches
// nothing else; it logs nothing, so that each caller words its own error
// (the secret is never part of one).

#include <cstddef>

// What reading the first line came to.
enum class SecretLine {
  kRead,        // the line is in the caller's area
  kCannotOpen,  // the path is null, empty or cannot be opened (*open_error: errno)
  kCannotRead,  // a read error after the file was opened
  kTooLong,     // the line is longer than the limit
  kEmpty,       // the file is empty or its first line is
};

// Reads the first line of `path` into `out` (`limit` + 1 bytes): the bytes
// up to the first CR or LF or the end of the file, as the settings lines are
// cut, NUL-ended, their count in *length (a NUL byte of the file may be
// among them). On anything but kRead, `out` is wiped and *length is 0;
// *open_error holds the errno of a failed open (0 otherwise).
SecretLine secret_file_line(const char* path, char* out, size_t limit, size_t* length,
                            int* open_error);
