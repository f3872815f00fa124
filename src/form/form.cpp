#include "form/form.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

static char* copy_or_die(const char* start, size_t length) {
  return copy_bytes_or_die(start, length, kOutOfMemoryCopy);
}

// The first decoding pass over the name of a raw pair (`length` bytes, no
// NUL among them): '+' reads as a space, a '%' with two characters after it
// as the byte they give by the loose rule, and the first '=' this yields
// ends the name. Writes the name to `out` when it is not null and returns its
// length; *value_at is where the value's raw text starts (past the '=' that
// ended the name), or `length` when there is none: no '=', or a decoded NUL
// ended the pair first.
static size_t decode_name(const char* pair, size_t length, char* out, size_t* value_at) {
  size_t written = 0;
  size_t i = 0;
  while (i < length) {
    char c = pair[i] == '+' ? ' ' : pair[i];
    ++i;
    if (c == '%' && i + 1 < length) {
      char c1 = pair[i] == '+' ? ' ' : pair[i];
      char c2 = pair[i + 1] == '+' ? ' ' : pair[i + 1];
      c = static_cast<char>(hex_pair_value(c1, c2));
      i += 2;
      if (c == '\0') break;  // the text ends at a decoded NUL
    }
    if (c == '=') {
      *value_at = i;
      return written;
    }
    if (out != nullptr) out[written] = c;
    ++written;
  }
  *value_at = length;
  return written;
}

// The classic reading of one raw pair: the name by decode_name, the value
// through plus_to_space, percent_decode and decode_value.
static void add_classic_pair(FormTable* form, const char* start, size_t pair_length) {
  // The name is decoded on its own (it is split off at the first '=' the
  // first pass yields, so an encoded '=' in a name splits too); the value
  // is copied once from the body and decoded in place, where its text
  // moves only behind an escape.
  size_t value_at = 0;
  size_t name_length = decode_name(start, pair_length, nullptr, &value_at);
  // Sized by the first call, written by the second (the decoded name is
  // never longer than its raw text, which fills the block meanwhile).
  char* name = copy_or_die(start, name_length);
  (void)decode_name(start, pair_length, name, &value_at);
  char* value = copy_or_die(start + value_at, pair_length - value_at);
  plus_to_space(value);
  percent_decode(value);
  decode_value(value);
  form->names[form->count] = name;
  form->values[form->count] = value;
  ++form->count;
}

static int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

size_t form_text_decode(char* text, size_t length, bool drop_cr) {
  size_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < length && hex_digit(text[i + 1]) >= 0 &&
               hex_digit(text[i + 2]) >= 0) {
      c = static_cast<char>(16 * hex_digit(text[i + 1]) + hex_digit(text[i + 2]));
      i += 2;
    }
    if (c == '\0') break;  // a decoded NUL ends the text
    if (c != '\r' || !drop_cr) text[out++] = c;
  }
  text[out] = '\0';
  return out;
}

// One raw pair as browsers encode it: split at its first '=' (an '=' of the
// text itself comes as %3D), then each side decoded once. As in the classic
// decoding, the value loses its carriage returns and the name keeps them.
static void add_standard_pair(FormTable* form, const char* start, size_t pair_length) {
  const char* equals = static_cast<const char*>(memchr(start, '=', pair_length));
  size_t name_length = equals != nullptr ? static_cast<size_t>(equals - start) : pair_length;
  size_t value_at = equals != nullptr ? name_length + 1 : pair_length;
  char* name = copy_or_die(start, name_length);
  (void)form_text_decode(name, name_length, /*drop_cr=*/false);
  char* value = copy_or_die(start + value_at, pair_length - value_at);
  (void)form_text_decode(value, pair_length - value_at, /*drop_cr=*/true);
  form->names[form->count] = name;
  form->values[form->count] = value;
  ++form->count;
}

void form_decode(FormTable* form, const char* body, size_t length, FormDecoding decoding) {
  const char* nul = static_cast<const char*>(memchr(body, '\0', length));
  if (nul != nullptr) length = static_cast<size_t>(nul - body);
  // A cursor walks the body instead of moving the unread rest down at every
  // '&': the pairs come out the same, without time growing with the square of
  // the body.
  size_t pos = 0;
  while (pos < length && form->count < kMaxFormPairs) {
    const char* start = body + pos;
    const char* amp = static_cast<const char*>(memchr(start, '&', length - pos));
    size_t pair_length = amp != nullptr ? static_cast<size_t>(amp - start) : length - pos;
    pos += pair_length + (amp != nullptr ? 1 : 0);
    if (decoding == FormDecoding::kClassic) {
      add_classic_pair(form, start, pair_length);
    } else {
      add_standard_pair(form, start, pair_length);
    }
  }
  if (pos < length) {
    // Counted the way they would have been taken: one per '&' and the last.
    long dropped = 1;
    for (size_t i = pos; i + 1 < length; ++i) {
      if (body[i] == '&') ++dropped;
    }
    log_event(LOG_ERROR, "form has %ld fields: the %ld after the %dth were dropped.",
              form->count + dropped, dropped, kMaxFormPairs);
  }
}

static unsigned name_hash(const char* name) {
  unsigned hash = 2166136261u;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p) {
    hash = (hash ^ *p) * 16777619u;
  }
  return hash;
}

// The slot holding `name`, or the free slot where it would go.
static int index_slot(const FormTable& form, const char* name) {
  unsigned mask = kFormIndexSize - 1;
  for (unsigned slot = name_hash(name) & mask;; slot = (slot + 1) & mask) {
    int entry = form.index[slot];
    if (entry == 0 || strcmp(form.names[entry - 1], name) == 0) return static_cast<int>(slot);
  }
}

static void build_index(const FormTable& form) {
  memset(form.index, 0, sizeof form.index);
  // The last entry seen of each slot's name, to chain the repeats.
  int last[kFormIndexSize];
  // Entries in submission order: a name submitted twice keeps its first.
  for (int i = 0; i < form.count; ++i) {
    int slot = index_slot(form, form.names[i]);
    form.next_same[i] = 0;
    if (form.index[slot] == 0) {
      form.index[slot] = i + 1;
    } else {
      form.next_same[last[slot]] = i + 1;
    }
    last[slot] = i;
    free(form.joined[i]);
    form.joined[i] = nullptr;
  }
  form.indexed_count = form.count;
}

const char* form_value(const FormTable& form, const char* name) {
  if (form.indexed_count != form.count) build_index(form);
  int entry = form.index[index_slot(form, name)];
  return entry != 0 ? form.values[entry - 1] : "";
}

const char* form_joined_value(const FormTable& form, const char* name) {
  if (form.indexed_count != form.count) build_index(form);
  int entry = form.index[index_slot(form, name)];
  if (entry == 0) return "";
  int first = entry - 1;
  if (form.next_same[first] == 0) return form.values[first];
  if (form.joined[first] == nullptr) {
    size_t length = 0;
    for (int i = first; i >= 0; i = form.next_same[i] - 1) length += strlen(form.values[i]) + 2;
    char* text = static_cast<char*>(malloc(length + 1));
    if (text == nullptr) fatal_reply(kOutOfMemoryCopy);
    size_t n = 0;
    for (int i = first; i >= 0; i = form.next_same[i] - 1) {
      if (i != first) {
        memcpy(text + n, ", ", 2);
        n += 2;
      }
      size_t value_length = strlen(form.values[i]);
      memcpy(text + n, form.values[i], value_length);
      n += value_length;
    }
    text[n] = '\0';
    form.joined[first] = text;
  }
  return form.joined[first];
}

void form_set_value(FormTable* form, int entry, const char* value) {
  free(form->values[entry]);
  form->values[entry] = copy_or_die(value, strlen(value));
  // The joined values may hold the old one.
  form->indexed_count = -1;
}

void form_free(FormTable* form) {
  for (int i = 0; i < form->count; ++i) {
    free(form->names[i]);
    free(form->values[i]);
    free(form->joined[i]);
    form->names[i] = nullptr;
    form->values[i] = nullptr;
    form->joined[i] = nullptr;
  }
  form->count = 0;
  // An index that was never built is all zero still.
  if (form->indexed_count > 0) memset(form->index, 0, sizeof form->index);
  form->indexed_count = 0;
}

void plus_to_space(char* text) {
  for (char* plus = strchr(text, '+'); plus != nullptr; plus = strchr(plus + 1, '+')) {
    *plus = ' ';
  }
}

// Moves the run of `in` up to the first of `stops` (or the end) to `out`;
// both step past it.
static void copy_run(char** out, char** in, const char* stops) {
  size_t run = strcspn(*in, stops);
  if (*out != *in) memmove(*out, *in, run);
  *out += run;
  *in += run;
}

void percent_decode(char* text) {
  char* out = text;
  char* in = text;
  for (;;) {
    copy_run(&out, &in, "%");
    if (*in == '\0') break;
    // A '%' without two characters after it is kept as it stands, so the
    // decoding never reaches past the end of the pair.
    if (in[1] != '\0' && in[2] != '\0') {
      char byte = static_cast<char>(hex_pair_value(in[1], in[2]));
      *out++ = byte;
      in += 3;
      if (byte == '\0') return;  // the text ends at a decoded NUL
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

// No validation: any character yields some digit value, and the sum wraps to
// a byte (%zz gives 'S', %G1 gives 0x01).
static int loose_hex_digit(char c) {
  int value = static_cast<signed char>(c);
  return value >= 'A' ? (value & 0xDF) - 55 : value - 48;
}

unsigned char hex_pair_value(char c1, char c2) {
  return static_cast<unsigned char>((16 * loose_hex_digit(c1) + loose_hex_digit(c2)) & 0xFF);
}

static int strict_hex_digit(char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (c == '\0') return -1;
  const char* found = strchr(kDigits, c);
  return found != nullptr ? static_cast<int>(found - kDigits) : -1;
}

void decode_value(char* text) {
  char* out = text;
  char* in = text;
  for (;;) {
    copy_run(&out, &in, "%\r");
    if (*in == '\0') break;
    char current = *in;
    if (current == '%') {
      // Lower-case letters after the '%' are raised in place even when the
      // sequence turns out not to be hex.
      for (int k = 1; k <= 2 && in[k] != '\0'; ++k) {
        in[k] = ascii_upper(in[k]);
      }
      int high = strict_hex_digit(in[1]);
      int low = high >= 0 ? strict_hex_digit(in[2]) : -1;
      if (high >= 0 && low >= 0) {
        current = static_cast<char>(16 * high + low);
        in += 3;
      } else {
        ++in;
      }
    } else {
      ++in;
    }
    if (current == '\0') break;  // a decoded NUL ends the value
    if (current != '\r') *out++ = current;
  }
  *out = '\0';
}
