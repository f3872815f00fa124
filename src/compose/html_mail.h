#pragma once
// HTML mail: the html_template file with its ||name|| tokens filled
// (HTML-escaped, line breaks as <br>; ||quillon_fields|| a table of every
// field, labelled by field_label), made the second part of a
// multipart/alternative body whose first part is the plain-text body as it
// would be sent alone. May use src/config, src/form, src/base and
// src/platform. Errors: a template that cannot be read is logged, and the
// message stays plain text.

#include "base/text.h"
#include "compose/message_block.h"
#include "config/settings.h"
#include "form/form.h"

// Appends `text` with & < > " ' as character references and each line
// break (CR LF, LF or a lone CR) as "<br>" and a line end.
void html_escape_append(TextBuffer* out, const char* text);

// The filled template as a heap buffer, or null: no html_template, or it
// cannot be read (an error line).
TextBuffer* html_render(const Settings& settings, const FormTable& form);

// Replaces `body` (the finished plain-text body, line ends `eol`) by the
// multipart/alternative of it and `html`, and writes the boundary (at
// least kAlternativeBoundarySize bytes).
constexpr size_t kAlternativeBoundarySize = 64;
void html_alternative_build(const TextBuffer* html, const char* eol, MessageBlock* body,
                            char* boundary);
