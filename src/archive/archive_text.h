#pragma once
// The archive's pure text work, engine-neutral and without a disk: the
// fields as JSON and back, the whole-address match of erase, the CSV cells
// of export, and the dates of the commands. May use src/base only.

#include <cstddef>

#include "base/text.h"

// Appends the fields as JSON: [["name","value"],...], in the order given,
// repeated names kept.
void archive_fields_json(const char* const* names, const char* const* values, int count,
                         TextBuffer* out);

// Calls `each` for every [name, value] pair of a text archive_fields_json
// made, in order. False when the text is not such an array.
using ArchiveFieldFn = void (*)(const char* name, size_t name_length, const char* value,
                                size_t value_length, void* context);
bool archive_fields_each(const char* json, ArchiveFieldFn each, void* context);

// Whether `text` holds `address` as a whole address (case ignored): not as
// part of a longer one ("x-ann@example.com" does not hold "ann@example.com").
bool archive_holds_address(const char* text, const char* address);

// Appends one CSV cell (RFC 4180): quoted when it holds a comma, a quote or
// a line break (quotes doubled); a value beginning with "=", "+", "-", "@",
// a tab or a CR gets a leading "'" so that a spreadsheet shows it as text.
void archive_csv_cell(TextBuffer* out, const char* value, size_t length);

// "YYYY-MM-DD" (UTC) to seconds since 1970 at its midnight; false for
// anything else.
bool archive_parse_date(const char* text, long long* seconds);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ" (21 bytes with the NUL).
void archive_time_text(long long seconds, char* out, size_t size);
