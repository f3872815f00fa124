#pragma once
// The "-FAQ" page: an HTML page generated from one table of text rows.

// One entry of a tag table. A table ends with an entry whose tag is null.
struct FaqTag {
  const char* tag;
  const char* replacement;  // up to five "%d", each given `count`
  int count;                // raised each time the tag is found; never reset
  int show_code;
  int mode_code;
};

extern const char* const faq_rows[];  // ends with a null entry
extern FaqTag faq_index_tags[];
extern FaqTag faq_body_tags[];

// Prints the whole page to standard output.
void print_faq_page();

// One pass over `rows` (null-terminated) with `tags`, printing to stdout.
void print_faq_pass(const char* const* rows, FaqTag* tags);

// Prints `text` HTML-escaped (& > < ") through `format`; stops after 1998
// bytes of output.
void print_html_escaped(const char* format, const char* text);
