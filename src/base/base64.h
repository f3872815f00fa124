#pragma once
// Base64 (RFC 4648, with padding), for SMTP AUTH and MIME encoded words.

#include <cstddef>

// Bytes the encoding of `length` bytes takes, without the NUL.
size_t base64_length(size_t length);

// Writes the encoding of `length` bytes of `data` and a NUL to `out`, which
// holds base64_length(length) + 1 bytes.
void base64_encode(const char* data, size_t length, char* out);

// A heap copy of the encoding (fatal_reply when memory runs out).
char* base64_encode_copy(const char* data, size_t length);

// Decodes `length` characters of standard base64 (padding optional, no
// other characters) into `out`, which holds length / 4 * 3 + 3 bytes; the
// count in *out_length. False for anything else.
bool base64_decode(const char* text, size_t length, char* out, size_t* out_length);
