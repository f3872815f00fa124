#pragma once
// Reading one flat JSON object (RFC 8259) and writing JSON strings.
//
// The reader takes the whole text, checks it completely (grammar, escapes,
// UTF-8) and hands each member to a callback, in the order of the text.
// Values are strings, numbers, true/false/null, or arrays of those (one call
// per element). A duplicate name is not an error: each occurrence is handed
// over in order, and the caller decides what it means. A UTF-8 byte-order
// mark before the object is ignored (RFC 8259 8.1 allows it).
//
// Failure is a false return with a short reason and the byte offset where
// the text went wrong; members already handed over stay handed over, so a
// caller that must not act on a bad text collects first and acts after.
// Uses only base/utf8.h and base/text.h; allocates one scratch block of the
// text's size per call.

#include <cstddef>

#include "base/text.h"

// Objects and arrays skipped inside a member value may nest this deep.
constexpr int kJsonMaxDepth = 32;

enum class JsonKind { kString, kNumber, kBool, kNull };

// One member, or one element of an array member. The texts are NUL-ended
// but may hold NUL bytes themselves ("\u0000"): the lengths are the truth.
// They are valid only during the callback.
struct JsonMember {
  const char* name;    // decoded UTF-8
  size_t name_length;
  JsonKind kind;
  // kString: the decoded UTF-8; kNumber: the literal as written ("-1.5e3");
  // kBool: "true" or "false"; kNull: "".
  const char* value;
  size_t value_length;
  bool in_array;  // an element of an array (an empty array gives no call)
};

using JsonMemberFn = void (*)(void* context, const JsonMember* member);

struct JsonError {
  const char* reason;  // a static text, e.g. "invalid escape"
  size_t offset;       // byte offset into the text
};

// Reads the object in text[0..length). A member value that is an object, or
// an array element that is an object or array, is an error ("nested value")
// unless `skip_nested`, when it is checked and skipped without a call (up to
// kJsonMaxDepth levels; deeper is "too deeply nested"). Returns true when the
// whole text was one well-formed object; false with *error set otherwise.
bool json_read_object(const char* text, size_t length, bool skip_nested, JsonMemberFn on_member,
                      void* context, JsonError* error);

// Appends `text` (`length` bytes, meant as UTF-8) to `buffer` as a JSON
// string with its quotes: '"' and '\' escaped, control characters as
// \u00XX, and each byte that is not part of well-formed UTF-8 as U+FFFD, so
// the output is always valid JSON and valid UTF-8.
void json_append_string(TextBuffer* buffer, const char* text, size_t length);
