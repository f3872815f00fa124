#pragma once
// Host names as the SMTP greeting uses them: checking one, and choosing the
// name the client introduces itself with. Pure text functions; they touch
// nothing but their arguments.

#include <cstddef>

// The name greeted with when nothing better is known.
constexpr const char* kDefaultHelloName = "QUILLON";
constexpr size_t kMaxHostName = 253;

// Whether `name` is a domain name fit for EHLO: at least two dot-separated
// labels of 1 to 63 letters, digits and hyphens, no label beginning or
// ending with a hyphen, a last label that is not all digits, and at most
// kMaxHostName characters in all.
bool host_name_valid(const char* name);

// Writes the greeting name into `out` (`size` bytes, at least
// kMaxHostName + 1): `configured` when not null; otherwise, when
// `standard_headers`, the domain of `fixed_from` (an address from the
// settings, never from the form; null when there is none) if it is a valid
// host name; otherwise kDefaultHelloName.
void hello_name_choose(const char* configured, bool standard_headers, const char* fixed_from,
                       char* out, size_t size);
