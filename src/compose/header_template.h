#pragma once
// A fixed header line with ||name|| tokens ("Subject: Message from
// ||Name:||"), filled with the submitted values as a header needs them:
// line breaks out, at most kTokenValueMax characters of one value, and
// encoded words where the text is not plain ASCII or looks like an encoded
// word. In an address header (From, To, Cc, ...) a value is always an
// encoded word, so it can never be read as an address; the envelope takes
// its addresses from the line without its tokens. May use src/base only;
// nothing here fails (memory that runs out ends the run).

#include "base/text.h"

constexpr int kTokenValueMax = 200;

using TokenValueFn = const char* (*)(const char* name, void* context);

// Whether `text` holds a whole ||name|| token.
bool header_has_tokens(const char* text);

// `value` as one header line can hold it, into `out`: each run of CR and
// LF becomes one blank, and past kTokenValueMax characters the rest
// becomes "…".
void header_token_value(const char* value, TextBuffer* out);

// The header line `text` with its tokens filled (a name no field has: "")
// into `out`, without a line end; `eol` starts the continuation lines of
// long encoded values.
void header_fill(const char* text, TokenValueFn value, void* context, const char* eol,
                 TextBuffer* out);

// `text` with its tokens taken out, into `out`: what the envelope reads.
void header_without_tokens(const char* text, TextBuffer* out);
