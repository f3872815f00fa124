#pragma once
// The small nested JSON the proof-of-work CAPTCHA exchanges: a payload read
// into a tree of at most kAltchaNodes values, and a tree written back with
// every object's keys sorted (the text a challenge's signature covers).
// Pure computation on the caller's memory; failure is a false return.

#include <cstddef>

#include "base/text.h"

enum class AltchaKind { kObject, kString, kNumber, kBool, kNull, kArray };

constexpr int kAltchaNodes = 64;

// One value; its members (an object's) or elements (an array's) are linked
// from `first` through `next`. Texts point into the tree's own copy.
struct AltchaNode {
  const char* name = nullptr;  // the member name; null for the root and elements
  size_t name_length = 0;
  AltchaKind kind = AltchaKind::kNull;
  const char* text = nullptr;  // a string decoded, a number or bool as written
  size_t length = 0;
  int first = -1;
  int next = -1;
};

struct AltchaTree {
  AltchaNode nodes[kAltchaNodes];
  int count = 0;
  char* texts = nullptr;  // malloc block of the decoded texts (altcha_tree_free)
};

// Reads `length` bytes of JSON into `tree` (node 0 the root); false for a
// text that is not one well-formed value, nests deeper than 8 or needs more
// nodes. Free the tree with altcha_tree_free either way.
bool altcha_tree_read(const char* text, size_t length, AltchaTree* tree);
void altcha_tree_free(AltchaTree* tree);

// The member `name` of object node `at`, or -1 (also when `at` is -1 or no object).
int altcha_member(const AltchaTree& tree, int at, const char* name);

// Appends node `at` as JSON with no spaces and the keys of every object in
// byte order (escapes as a browser's JSON writer makes them).
void altcha_write_sorted(const AltchaTree& tree, int at, TextBuffer* out);
