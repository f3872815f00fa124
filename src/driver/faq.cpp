#include "driver/faq.h"

#include <cstdio>
#include <cstring>

#include "base/text.h"

const FaqTag faq_index_tags[kFaqTagCount] = {
    {"[q]", "<li><A HREF=\"#Q%d\">Q %d </A>", 0, 3, 0},
    {"[a]", "</li>\n", 0, 1, 0},
    {"[pre]", "", 0, 2, 0},
    {"[/pre]", "", 0, 2, 0},
    {nullptr, nullptr, 0, 0, 0},
};

const FaqTag faq_body_tags[kFaqTagCount] = {
    {"[q]", "<BR><H3><a name=\"Q%d\">Q %d </a>", 0, 0, 0},
    {"[a]", "</H3><B>A %d - </B>", 0, 0, 2},
    {"[pre]", "<pre>", 0, 0, 0},
    {"[/pre]", "</pre>", 0, 0, 2},
    {nullptr, nullptr, 0, 0, 0},
};

constexpr int kNoModeCode = -1;
constexpr int kShowUnchanged = 2;

// Expands `replacement` with every "%d" standing for `count` ("%%" for a
// percent sign) into `out` of kFaqLineArea bytes. Done by hand, not by
// printf, so that a table entry can never make the formatter read arguments
// that are not there.
static void expand_replacement(const char* replacement, int count, char* out) {
  char number[16];
  int number_length = snprintf(number, sizeof number, "%d", count);
  int length = 0;
  for (const char* p = replacement; *p != '\0';) {
    const char* piece = p;
    int piece_length = 1;
    if (p[0] == '%' && p[1] == 'd') {
      piece = number;
      piece_length = number_length;
      p += 2;
    } else if (p[0] == '%' && p[1] == '%') {
      p += 2;
    } else {
      ++p;
    }
    if (length + piece_length > kFaqLineArea - 1) break;
    memcpy(out + length, piece, static_cast<size_t>(piece_length));
    length += piece_length;
  }
  out[length] = '\0';
}

// Replaces the first `tag` in `line` by the entry's replacement; returns
// whether the tag was there.
static bool apply_tag(FaqTag* entry, char* line, TextBuffer* rebuilt) {
  char* found = strstr(line, entry->tag);
  if (found == nullptr) return false;
  entry->count++;
  char replacement[kFaqLineArea];
  expand_replacement(entry->replacement, entry->count, replacement);
  *found = '\0';
  const char* after = found + strlen(entry->tag);
  text_buffer_replace(rebuilt, "%s%s%s", line, replacement, after);
  snprintf(line, kFaqLineArea, "%s", rebuilt->data);
  return true;
}

void print_faq_pass(const char* const* rows, FaqTag* tags) {
  TextBuffer* rebuilt = text_buffer_new("");
  bool hidden = false;
  bool escaped = false;
  char line[kFaqLineArea];
  for (const char* const* row = rows; *row != nullptr; ++row) {
    snprintf(line, sizeof line, "%s", *row);
    int show_code = kShowUnchanged;
    int mode_code = kNoModeCode;
    // Later entries search the line as the earlier ones rebuilt it.
    for (FaqTag* entry = tags; entry->tag != nullptr; ++entry) {
      if (apply_tag(entry, line, rebuilt)) {
        show_code = entry->show_code;
        mode_code = entry->mode_code;
      }
    }
    if (mode_code == 1) escaped = true;
    if (mode_code == 0) escaped = false;
    if (show_code == 3) hidden = false;
    if (!hidden) {
      if (escaped) {
        print_html_escaped("%s\n", line);
      } else {
        printf("%s\n", line);
      }
    }
    if (show_code != kShowUnchanged) hidden = show_code != 0 && show_code != 3;
    if (mode_code == 2) escaped = true;
    if (mode_code == 3) escaped = false;
  }
  text_buffer_free(rebuilt);
}

void print_faq_page() {
  printf("<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>QUILLON FAQ</H2><BR><UL>");
  FaqTag tags[kFaqTagCount];
  memcpy(tags, faq_index_tags, sizeof tags);
  print_faq_pass(faq_rows, tags);
  printf("</UL><BR>");
  memcpy(tags, faq_body_tags, sizeof tags);
  print_faq_pass(faq_rows, tags);
  printf("</BODY>\n</HTML>\n");
}

static const char* html_entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '>': return "&gt;";
    case '<': return "&lt;";
    case '"': return "&quot;";
    default: return nullptr;
  }
}

void print_html_escaped(const char* format, const char* text) {
  char out[kFaqLineArea];
  int used = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const char* entity = html_entity(*p);
    int piece_length = entity != nullptr ? static_cast<int>(strlen(entity)) : 1;
    // An entity is written whole or not at all: half of one would show
    // as stray text on the page.
    if (used + piece_length > kFaqEscapedLimit) break;
    if (entity != nullptr) {
      memcpy(out + used, entity, static_cast<size_t>(piece_length));
    } else {
      out[used] = *p;
    }
    used += piece_length;
  }
  out[used] = '\0';
  // Every caller passes a literal, checked by the attribute on the
  // declaration.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  printf(format, out);
#pragma GCC diagnostic pop
}
