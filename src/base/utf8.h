#pragma once
// UTF-8 checks and conversions shared by the body decoders and the JSON
// writer. Pure functions over byte ranges; no allocation, no other module.

#include <cstddef>
#include <cstdint>

// The length (1-4) of the well-formed UTF-8 sequence at text[0..left), or 0
// when it is not one: a stray continuation byte, a truncated or overlong
// sequence, a surrogate (U+D800-U+DFFF) or a code point above U+10FFFF.
// `left` must be at least 1. Stores the code point in *code_point when given.
int utf8_sequence(const unsigned char* text, size_t left, uint32_t* code_point);

// Whether all `length` bytes of `text` are well-formed UTF-8.
bool utf8_valid(const char* text, size_t length);

// Writes the UTF-8 form of `code_point` (at most U+10FFFF, no surrogate) to
// `out`, which has room for 4 bytes; returns the byte count, 0 for a code
// point that has no UTF-8 form.
int utf8_encode(uint32_t code_point, char* out);

// Converts ISO-8859-1 `text` of `length` bytes to UTF-8 into `out`, which has
// room for 2 * length bytes; returns the bytes written.
size_t latin1_to_utf8(const char* text, size_t length, char* out);
