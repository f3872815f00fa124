#include "reply/accept.h"

#include <cstring>

#include "base/program.h"

namespace {

// How well a range matches a type: 0 not at all, 1 "*/*", 2 "type/*",
// 3 the type itself.
int match_level(const char* range, size_t length, const char* type) {
  if (length == 3 && memcmp(range, "*/*", 3) == 0) return 1;
  size_t slash = static_cast<size_t>(strchr(type, '/') - type);
  if (length == slash + 2 && ascii_equal_n(range, type, slash + 1) && range[slash + 1] == '*') {
    return 2;
  }
  return length == strlen(type) && ascii_equal_n(range, type, length) ? 3 : 0;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A qvalue ("0", "0.5", "1.000") in thousandths, or -1 when it is not one.
int parse_q(const char* text, size_t length) {
  if (length == 0 || (text[0] != '0' && text[0] != '1')) return -1;
  int value = (text[0] - '0') * 1000;
  if (length == 1) return value;
  if (text[1] != '.' || length > 5) return -1;
  int scale = 100;
  for (size_t i = 2; i < length; ++i, scale /= 10) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value += (text[i] - '0') * scale;
  }
  return value > 1000 ? -1 : value;
}

// The q of the range's parameters [p, end): 1000 when it has none, -1 when
// its q cannot be read.
int range_q(const char* p, const char* end) {
  int q = 1000;
  while (p < end) {
    const char* semicolon = static_cast<const char*>(memchr(p, ';', static_cast<size_t>(end - p)));
    const char* stop = semicolon != nullptr ? semicolon : end;
    while (p < stop && is_blank(*p)) ++p;
    const char* e = stop;
    while (e > p && is_blank(e[-1])) --e;
    if (e - p >= 2 && ascii_lower(p[0]) == 'q' && p[1] == '=') {
      q = parse_q(p + 2, static_cast<size_t>(e - p - 2));
    }
    p = stop + 1;
  }
  return q;
}

struct Best {
  int level;
  int q;
};

void consider(const char* range, size_t length, int q, const char* type, Best* best) {
  int level = match_level(range, length, type);
  if (level > best->level) *best = Best{level, q};
}

}  // namespace

bool accept_prefers_json(const char* accept) {
  if (accept == nullptr) return false;
  Best json = {0, 0};
  Best html = {0, 0};
  const char* p = accept;
  const char* end = accept + strlen(accept);
  while (p < end) {
    const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
    const char* stop = comma != nullptr ? comma : end;
    const char* params = static_cast<const char*>(memchr(p, ';', static_cast<size_t>(stop - p)));
    const char* range_end = params != nullptr ? params : stop;
    while (p < range_end && is_blank(*p)) ++p;
    const char* e = range_end;
    while (e > p && is_blank(e[-1])) --e;
    int q = params != nullptr ? range_q(params + 1, stop) : 1000;
    if (q >= 0 && e > p) {
      consider(p, static_cast<size_t>(e - p), q, "application/json", &json);
      consider(p, static_cast<size_t>(e - p), q, "text/html", &html);
    }
    p = stop + 1;
  }
  if (json.q == 0) return false;
  return json.q > html.q || (json.q == html.q && json.level > html.level);
}
