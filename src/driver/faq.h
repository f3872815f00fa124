#pragma once
// The "-FAQ" page: an HTML page generated from one table of text rows in
// which the tag rows "[q]", "[a]", "[pre]" and "[/pre]" mark questions,
// answers and preformatted blocks. The table is walked twice: once for the
// index of links, once for the questions with their answers.

constexpr int kFaqLineArea = 2000;    // one row, rebuilt, at most 1999 chars
constexpr int kFaqEscapedLimit = 1998;

// One entry of a tag table. A table ends with an entry whose tag is null.
struct FaqTag {
  const char* tag;
  const char* replacement;  // its "%d"s (up to five) each become `count`
  int count;                // raised each time the tag is found; never reset
  int show_code;  // 2 no change; 3 shown from this row; 0 shown from the next
                  // row; any other value hidden from the next row
  int mode_code;  // 0 raw from this row; 1 escaped from this row; 2 escaped
                  // from the next row; 3 raw from the next row
};

extern const char* const faq_rows[];  // ends with a null entry
// The two passes' tags, as the page starts them: each pass counts in a
// copy of its own, so the tables stay constant.
constexpr int kFaqTagCount = 5;  // the null entry included
extern const FaqTag faq_index_tags[kFaqTagCount];
extern const FaqTag faq_body_tags[kFaqTagCount];

// Prints the whole page to standard output.
void print_faq_page();

// One pass over `rows` (null-terminated) with `tags`, printing to stdout.
// Rows start shown and raw. Ends the process through fatal_reply when the
// pass's text buffer cannot be had.
void print_faq_pass(const char* const* rows, FaqTag* tags);

// Prints `text` HTML-escaped (& > < ") through `format`, whose one
// conversion is "%s". Output stops before the entity or character that would
// take it past 1998 bytes; the rest of the text is dropped.
void print_html_escaped(const char* format, const char* text)
    __attribute__((format(printf, 1, 0)));
