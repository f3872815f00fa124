#pragma once
// The content rules: cheap local tests of what the submitted values say
// (links, listed words, the scripts they are written in, one text in every
// field). Each is off until its setting is given. Pure over the form and
// the settings, but for the words file, which the rule reads itself. May
// use guard, config, form, base and the platform's files.
//
// Errors: a rule never fails its caller: a words file it cannot read is
// logged and that rule passes; a script name it does not know is logged and
// left out.

#include <cstddef>

#include "config/settings.h"
#include "form/form.h"
#include "guard/word_set.h"

// The links in `text`: each http:// or https:// address, each www. name,
// each bare host name ending in a top-level domain of a curated list (none
// that looks like a file ending: .zip, .md, .py...), and each BBCode
// [url] or HTML <a> element, counted once with the address inside it.
int count_links(const char* text, size_t length);

// Whether `text`, trimmed, is a single link and nothing else.
bool only_a_link(const char* text);

// Whether most letters of `text` are of scripts outside `allowed` (count
// entries); the script with most letters among those in *foreign.
struct ScriptCount {
  int letters;
  int outside;
};
ScriptCount count_scripts(const char* text, size_t length, const int* allowed, int count,
                          int* foreign);

// Runs the rules the settings turn on over the values of `form` (the
// CAPTCHA token and the honeypot fields left out). True when one or more
// caught it, their reasons in `reasons` ("7 links, limit 2; word
// \"viagra\""), joined by "; ".
bool content_rules_catch(const Settings& settings, const FormTable& form, char* reasons,
                         size_t reasons_size);
