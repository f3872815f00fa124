#pragma once
// The posted form: read from standard input, decoded into name/value pairs.
// May use src/base and src/platform only. Errors: decoding never fails;
// running out of memory ends the process (fatal_reply).

#include <cstddef>

constexpr int kMaxFormPairs = 1000;
constexpr int kMaxFormBody = 100000;
// Reading the whole body, the dropped rest of an oversized one included,
// stops after this long; the settings are not read yet, so it is fixed.
constexpr int kBodyTimeLimitSeconds = 30;
// At most this much of an oversized body is read and dropped; past it,
// standard input is closed.
constexpr long long kMaxDroppedBody = 10 * 1000 * 1000;

// The submitted variables, in submission order. Names and values are heap
// texts owned by the table (form_free releases them). Zero-initialise a
// new table: `FormTable form{};` (or `= {}`).
constexpr int kFormIndexSize = 2048;  // a power of two, over twice kMaxFormPairs

struct FormTable {
  char* names[kMaxFormPairs];
  char* values[kMaxFormPairs];
  int count;
  // Name look-up: open addressing over the first entry of each name
  // (entry number + 1; 0 is a free slot), built when first needed for the
  // entries then present, so each look-up costs the same however many
  // fields were submitted.
  // A cache, hence mutable: look-ups on a const table may build it.
  mutable int index[kFormIndexSize];
  mutable int indexed_count;
  // Per entry: the next entry of the same name (entry number + 1; 0: none),
  // built with the index; and for a first entry of a repeated name, its
  // values joined (form_joined_value), made when first asked for.
  mutable int next_same[kMaxFormPairs];
  mutable char* joined[kMaxFormPairs];
};

// How a URL-encoded body is decoded (the form_decoding setting).
enum class FormDecoding {
  // Once, as browsers encode: pairs split at '&', name and value at the
  // first '='; '+' is a blank, '%' and two hex digits (either case) the
  // byte they give, any other '%' kept as it stands.
  kStandard,
  // The classic double pass: the '%' escapes decoded by a loose rule, then
  // the value again, the two characters after every '%' raised to upper
  // case. A stored form may rely on it; it changes what visitors type.
  kClassic,
};

// Decodes a URL-encoded body of `length` bytes into `form` (appending to
// what it holds). A NUL byte ends the body; carriage returns are dropped
// from values (names keep them) and a decoded NUL ends the name or value it
// is in.
void form_decode(FormTable* form, const char* body, size_t length,
                 FormDecoding decoding = FormDecoding::kStandard);

// The value of the first entry whose name equals `name` byte for byte, or "".
// The text belongs to the table. Constant time per call: a hash index.
const char* form_value(const FormTable& form, const char* name);

// All values of the entries named `name`, in submission order, joined by
// ", " (the one value of a name given once; "" for none). The text belongs
// to the table. For body lines and page tokens: a visitor's every choice.
const char* form_joined_value(const FormTable& form, const char* name);

// Replaces the value of entry `entry` by a copy of `value`.
void form_set_value(FormTable* form, int entry, const char* value);

// Releases the entries and empties the table.
void form_free(FormTable* form);

// The standard decoding of `length` bytes of `text`, in place and NUL-ended,
// carriage returns dropped when `drop_cr`; returns the decoded length
// (never more than `length`).
size_t form_text_decode(char* text, size_t length, bool drop_cr);

// The classic decoding steps, in place, exposed for tests.
void plus_to_space(char* text);
void percent_decode(char* text);
unsigned char hex_pair_value(char c1, char c2);
void decode_value(char* text);
