#pragma once
// Reading header values of the form "type; name=value; ...": the body's
// CONTENT_TYPE and a multipart part's Content-Type and Content-Disposition.
//
// Pure functions over the value's bytes; the caller provides the output
// areas. Names (the type and parameter names) are compared ignoring ASCII
// case. A parameter value is a token or a quoted string; in a quoted string
// a backslash escapes only '"' and '\' and is kept before any other byte,
// since browsers send Windows paths ("C:\dir\a.txt") unescaped. A
// `name*` parameter (RFC 8187 / RFC 2231 ext-value, charset UTF-8 or
// ISO-8859-1, converted to UTF-8) is preferred over the plain `name`. RFC
// 2231 continuations (`name*0=`) are not joined: they are other names.
// Uses base/ only.

#include <cstddef>

// The type before the first ';' (blanks around it trimmed), lower-cased,
// into out[0..out_size) NUL-ended: "multipart/form-data", "form-data".
// Returns false when it is empty, holds a byte that is not a token
// character (or more than one '/'), or does not fit.
bool header_type(const char* value, size_t length, char* out, size_t out_size);

enum class HeaderParam { kAbsent, kFound, kMalformed };

// Looks for the parameter `name` (and `name*`) after the type. On kFound its
// decoded value is in out[0..*out_length), NUL-ended; an area of
// 2 * length + 1 bytes always suffices. kMalformed: the parameter list
// breaks the syntax (an unterminated quote, a missing '=', a bad ext-value,
// an unknown ext-value charset) or the value does not fit.
HeaderParam header_param(const char* value, size_t length, const char* name, char* out,
                         size_t out_size, size_t* out_length);
