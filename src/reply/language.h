#pragma once
// Texts by language: the answer's language chosen from Accept-Language
// among the settings' `languages`, the page and confirmation files of a
// language ("success.de.html" beside "success.html"), and the JSON
// messages of a messages file ("outcome text" lines; English is built in).
// May use src/config, src/base and src/platform; reads files, writes
// nothing. Errors: a file that cannot be read counts as not there.

#include <cstddef>

#include "base/outcome.h"
#include "base/request.h"
#include "config/settings.h"

constexpr size_t kLanguageTagSize = 36;

// Whether the language `tag` has what an answer needs.
using LanguageAvailableFn = bool (*)(const char* tag, void* context);

// The language of `names` (`count` lower-case tags) that `accept` (the
// header's value, null: none) prefers, by q-value, the header's order
// between equal ones: a tag takes its own entry, else its primary
// language's ("de-at" takes "de"); q=0 and "*" choose nothing. Only tags
// `available` says yes to count. Returns the index into `names`, or -1.
int choose_language(const char* accept, char* const* names, int count,
                    LanguageAvailableFn available, void* context);

// `path` with ".TAG" before its file name's extension ("success.html" ->
// "success.de.html"; no extension: at the end) into `out`; false when it
// does not fit.
bool language_path(const char* path, const char* tag, char* out, size_t size);

// The answer's language for `outcome` (a JSON answer with `json`), or null
// when none is chosen: a language is available when a messages file names
// it (a JSON answer, a built-in page) or when the page's file in it exists.
const char* answer_language(const Settings& settings, const Request& request, Outcome outcome,
                            bool json);

// The confirmation's file in the language the request prefers, into `out`
// (the settings' autoreply_file when none is); null without autoreply_file.
const char* autoreply_language_file(const Settings& settings, const Request& request, char* out,
                                    size_t size);

// The text for `outcome` in the messages file of `tag`, or null (then the
// built-in English). The text stays valid until the next call.
const char* language_message(const Settings& settings, const char* tag, Outcome outcome);
