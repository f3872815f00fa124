#include "guard/altcha_json.h"

#include <cstdlib>
#include <cstring>

#include "base/fatal.h"

namespace {

struct Reader {
  const char* p;
  const char* end;
  AltchaTree* tree;
  char* out;  // next free byte of tree->texts
};

void skip_space(Reader* r) {
  while (r->p < r->end && (*r->p == ' ' || *r->p == '\t' || *r->p == '\n' || *r->p == '\r')) {
    ++r->p;
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool read_hex4(Reader* r, unsigned* value) {
  if (r->end - r->p < 4) return false;
  *value = 0;
  for (int i = 0; i < 4; ++i) {
    int d = hex_digit(r->p[i]);
    if (d < 0) return false;
    *value = *value * 16 + static_cast<unsigned>(d);
  }
  r->p += 4;
  return true;
}

void put_utf8(Reader* r, unsigned c) {
  if (c < 0x80) {
    *r->out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *r->out++ = static_cast<char>(0xc0 | (c >> 6));
    *r->out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    *r->out++ = static_cast<char>(0xe0 | (c >> 12));
    *r->out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *r->out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else {
    *r->out++ = static_cast<char>(0xf0 | (c >> 18));
    *r->out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    *r->out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    *r->out++ = static_cast<char>(0x80 | (c & 0x3f));
  }
}

bool read_escape(Reader* r) {
  static const char kFrom[] = "\"\\/bfnrt";
  static const char kTo[] = "\"\\/\b\f\n\r\t";
  char c = *r->p++;
  const char* at = strchr(kFrom, c);
  if (c != 'u') {
    if (at == nullptr || c == '\0') return false;
    *r->out++ = kTo[at - kFrom];
    return true;
  }
  unsigned unit;
  if (!read_hex4(r, &unit)) return false;
  if (unit >= 0xd800 && unit < 0xdc00) {
    unsigned low;
    if (r->end - r->p < 6 || r->p[0] != '\\' || r->p[1] != 'u') return false;
    r->p += 2;
    if (!read_hex4(r, &low) || low < 0xdc00 || low > 0xdfff) return false;
    unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
  } else if (unit >= 0xdc00 && unit < 0xe000) {
    return false;
  }
  put_utf8(r, unit);
  return true;
}

// A string after its opening quote, decoded into the texts.
bool read_string(Reader* r, const char** text, size_t* length) {
  *text = r->out;
  while (r->p < r->end && *r->p != '"') {
    unsigned char c = static_cast<unsigned char>(*r->p++);
    if (c < 0x20) return false;
    if (c != '\\') {
      *r->out++ = static_cast<char>(c);
    } else if (r->p >= r->end || !read_escape(r)) {
      return false;
    }
  }
  if (r->p >= r->end) return false;
  ++r->p;
  *length = static_cast<size_t>(r->out - *text);
  *r->out++ = '\0';
  return true;
}

bool read_scalar(Reader* r, AltchaNode* node) {
  const char* start = r->p;
  static const char* const kWords[] = {"true", "false", "null"};
  for (const char* word : kWords) {
    size_t n = strlen(word);
    if (static_cast<size_t>(r->end - r->p) >= n && memcmp(r->p, word, n) == 0) {
      node->kind = word[0] == 'n' ? AltchaKind::kNull : AltchaKind::kBool;
      r->p += n;
    }
  }
  if (r->p == start) {
    while (r->p < r->end && strchr("+-.eE0123456789", *r->p) != nullptr && *r->p != '\0') ++r->p;
    if (r->p == start) return false;
    char number[32];
    size_t n = static_cast<size_t>(r->p - start);
    if (n >= sizeof number) return false;
    memcpy(number, start, n);
    number[n] = '\0';
    char* after = nullptr;
    strtod(number, &after);
    if (after != number + n || number[0] == '+') return false;
    node->kind = AltchaKind::kNumber;
  }
  node->text = r->out;
  node->length = static_cast<size_t>(r->p - start);
  memcpy(r->out, start, node->length);
  r->out += node->length;
  *r->out++ = '\0';
  return true;
}

bool read_value(Reader* r, int at, int depth);

// The members or elements of node `at`, after its opening bracket.
bool read_children(Reader* r, int at, int depth, bool object) {
  char close = object ? '}' : ']';
  skip_space(r);
  if (r->p < r->end && *r->p == close) return ++r->p, true;
  int last = -1;
  for (;;) {
    if (r->tree->count >= kAltchaNodes) return false;
    int child = r->tree->count++;
    AltchaNode* node = &r->tree->nodes[child];
    skip_space(r);
    if (object) {
      if (r->p >= r->end || *r->p++ != '"' || !read_string(r, &node->name, &node->name_length)) {
        return false;
      }
      skip_space(r);
      if (r->p >= r->end || *r->p++ != ':') return false;
    }
    (last < 0 ? r->tree->nodes[at].first : r->tree->nodes[last].next) = child;
    last = child;
    if (!read_value(r, child, depth + 1)) return false;
    skip_space(r);
    if (r->p >= r->end) return false;
    char c = *r->p++;
    if (c == close) return true;
    if (c != ',') return false;
  }
}

bool read_value(Reader* r, int at, int depth) {
  if (depth > 8) return false;
  skip_space(r);
  if (r->p >= r->end) return false;
  AltchaNode* node = &r->tree->nodes[at];
  char c = *r->p;
  if (c == '{' || c == '[') {
    ++r->p;
    node->kind = c == '{' ? AltchaKind::kObject : AltchaKind::kArray;
    return read_children(r, at, depth, c == '{');
  }
  if (c == '"') {
    ++r->p;
    node->kind = AltchaKind::kString;
    return read_string(r, &node->text, &node->length);
  }
  return read_scalar(r, node);
}

}  // namespace

bool altcha_tree_read(const char* text, size_t length, AltchaTree* tree) {
  *tree = AltchaTree();
  tree->texts = static_cast<char*>(malloc(2 * length + 16));
  if (tree->texts == nullptr) fatal_reply(kOutOfMemory);
  Reader r = {text, text + length, tree, tree->texts};
  tree->count = 1;
  if (!read_value(&r, 0, 0)) return false;
  skip_space(&r);
  return r.p == r.end;
}

void altcha_tree_free(AltchaTree* tree) {
  free(tree->texts);
  tree->texts = nullptr;
}

int altcha_member(const AltchaTree& tree, int at, const char* name) {
  if (at < 0 || tree.nodes[at].kind != AltchaKind::kObject) return -1;
  size_t n = strlen(name);
  for (int child = tree.nodes[at].first; child >= 0; child = tree.nodes[child].next) {
    const AltchaNode& node = tree.nodes[child];
    if (node.name_length == n && memcmp(node.name, name, n) == 0) return child;
  }
  return -1;
}

static void write_string(const char* text, size_t length, TextBuffer* out) {
  text_buffer_append_bytes(out, "\"", 1);
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    const char* escape = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n"
                       : c == '\r' ? "\\r" : c == '\t' ? "\\t" : c == '\b' ? "\\b"
                       : c == '\f' ? "\\f" : nullptr;
    if (escape != nullptr) {
      text_buffer_append(out, "%s", escape);
    } else if (c < 0x20) {
      text_buffer_append(out, "\\u%04x", c);
    } else {
      text_buffer_append_bytes(out, text + i, 1);
    }
  }
  text_buffer_append_bytes(out, "\"", 1);
}

static bool name_before(const AltchaNode& a, const AltchaNode& b) {
  size_t n = a.name_length < b.name_length ? a.name_length : b.name_length;
  int order = memcmp(a.name, b.name, n);
  return order < 0 || (order == 0 && a.name_length < b.name_length);
}

void altcha_write_sorted(const AltchaTree& tree, int at, TextBuffer* out) {
  const AltchaNode& node = tree.nodes[at];
  if (node.kind == AltchaKind::kString) return write_string(node.text, node.length, out);
  if (node.kind != AltchaKind::kObject && node.kind != AltchaKind::kArray) {
    return text_buffer_append_bytes(out, node.text, static_cast<int>(node.length));
  }
  int order[kAltchaNodes];
  int count = 0;
  for (int child = node.first; child >= 0; child = tree.nodes[child].next) {
    int i = count++;
    while (node.kind == AltchaKind::kObject && i > 0 &&
           name_before(tree.nodes[child], tree.nodes[order[i - 1]])) {
      order[i] = order[i - 1];
      --i;
    }
    order[i] = child;
  }
  text_buffer_append_bytes(out, node.kind == AltchaKind::kObject ? "{" : "[", 1);
  for (int i = 0; i < count; ++i) {
    if (i > 0) text_buffer_append_bytes(out, ",", 1);
    const AltchaNode& child = tree.nodes[order[i]];
    if (node.kind == AltchaKind::kObject) write_string(child.name, child.name_length, out);
    if (node.kind == AltchaKind::kObject) text_buffer_append_bytes(out, ":", 1);
    altcha_write_sorted(tree, order[i], out);
  }
  text_buffer_append_bytes(out, node.kind == AltchaKind::kObject ? "}" : "]", 1);
}
