#pragma once
// Choosing the kind of answer from the request's Accept header (RFC 9110
// 12.5.1): a JSON answer for scripts that ask for it, the HTML pages
// otherwise. Pure function over the header's text; no dependencies beyond
// base/program.h.

// Whether `accept` (the header's value; null when the request has none)
// prefers application/json to text/html. Each type takes
// the q of its most specific matching range (the type itself, then
// "application/*" or "text/*", then "*/*"); q=0 excludes; a type no range
// matches has q 0. At equal q-values the type named more specifically wins
// ("application/json, */*", as script libraries send, is JSON); equal in
// that too, HTML, the pages being the answer a browser's own form gets
// ("*/*", fetch()'s default, is HTML). Media-range parameters other than q
// are ignored ("application/json; charset=utf-8" counts as
// application/json); a range with an unreadable q-value is ignored.
bool accept_prefers_json(const char* accept);
