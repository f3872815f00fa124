#include "form/form.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

static const char* getenv_or_empty(const char* name) {
  const char* value = environment_value(name);
  return value != nullptr ? value : "";
}

// atoi's reading (leading blanks, a sign, digits up to the first other
// character), saturating instead of overflowing on absurd lengths.
static long parse_length(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value < LONG_MAX / 10) value = value * 10 + (*text - '0');
  }
  return negative ? -value : value;
}

static char* copy_or_die(const char* start, size_t length) {
  return copy_bytes_or_die(start, length, kOutOfMemoryCopy);
}

// Reads into buf[0..len) until it is full, the input ends or the deadline
// passes; returns the bytes read and sets *timed_out when time ran out.
static size_t read_until(char* buf, size_t len, long long deadline_ms, bool* timed_out) {
  size_t got = 0;
  while (got < len) {
    size_t chunk = len - got > static_cast<size_t>(INT_MAX) ? INT_MAX : len - got;
    int n = os_read_stdin(buf + got, static_cast<int>(chunk), deadline_ms);
    if (n == kOsReadTimedOut) *timed_out = true;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

// Reads and drops up to `len` bytes; returns how many were read.
static long long discard_until(long long len, long long deadline_ms, bool* timed_out) {
  constexpr size_t kSinkSize = 65536;
  char* sink = static_cast<char*>(malloc(kSinkSize));
  if (sink == nullptr) fatal_reply(kOutOfMemoryCopy);
  long long done = 0;
  while (done < len) {
    long long left = len - done;
    size_t chunk = left < static_cast<long long>(kSinkSize) ? static_cast<size_t>(left) : kSinkSize;
    size_t n = read_until(sink, chunk, deadline_ms, timed_out);
    done += static_cast<long long>(n);
    if (n < chunk) break;
  }
  free(sink);
  return done;
}

void read_form(FormTable* form) {
  const char* content_length = getenv_or_empty("CONTENT_LENGTH");
  long total = parse_length(content_length);
  long wanted = total;
  os_stdin_binary();
  if (wanted > kMaxFormBody) {
    log_event(LOG_ERROR,
              "CONTENT_LENGTH {%s} is more than %d bytes: only the first %d bytes "
              "were read, the rest of the form is ignored.",
              log_quote(0, content_length), kMaxFormBody, kMaxFormBody);
    wanted = kMaxFormBody;
  }
  // A client that sends slowly, or never, must not hold the run: the whole
  // body, kept and dropped part alike, has kBodyTimeLimitSeconds.
  long long deadline = os_monotonic_ms() + kBodyTimeLimitSeconds * 1000LL;
  bool timed_out = false;
  // The receiving area: the body and the NUL that ends it.
  char* form_body = static_cast<char*>(malloc(kMaxFormBody + 1));
  if (form_body == nullptr) fatal_reply(kOutOfMemoryCopy);
  size_t got = wanted > 0 ? read_until(form_body, static_cast<size_t>(wanted), deadline, &timed_out)
                          : 0;
  long long read_total = static_cast<long long>(got);
  // The rest of an oversized body is read and dropped, so the web server
  // that writes it is not left waiting while the page is written; beyond
  // kMaxDroppedBody, standard input is closed instead.
  bool unread = timed_out;
  if (!timed_out && got == static_cast<size_t>(wanted) && total > wanted) {
    long long rest = static_cast<long long>(total) - wanted;
    long long drop = rest < kMaxDroppedBody ? rest : kMaxDroppedBody;
    long long dropped = discard_until(drop, deadline, &timed_out);
    read_total += dropped;
    unread = timed_out || (dropped == drop && rest > drop);
  }
  if (timed_out) {
    log_event(LOG_ERROR,
              "the form body was not all there after %d seconds (%lld of %ld bytes "
              "read): going on with what arrived.",
              kBodyTimeLimitSeconds, read_total, total);
  }
  if (unread) os_close_stdin();
  form_body[got] = '\0';
  form_decode(form, form_body, got);
  free(form_body);
}

void form_decode(FormTable* form, const char* body, size_t length) {
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

    char* pair = copy_or_die(start, pair_length);
    plus_to_space(pair);
    percent_decode(pair);
    // Split only after the first pass, so an encoded '=' in a name splits too.
    char* equals = strchr(pair, '=');
    size_t name_length = equals != nullptr ? static_cast<size_t>(equals - pair) : strlen(pair);
    char* name = copy_or_die(pair, name_length);
    if (equals != nullptr) {
      memmove(pair, equals + 1, strlen(equals + 1) + 1);
    } else {
      pair[0] = '\0';
    }
    decode_value(pair);
    form->names[form->count] = name;
    form->values[form->count] = pair;
    ++form->count;
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
  // Entries in submission order: a name submitted twice keeps its first.
  for (int i = 0; i < form.count; ++i) {
    int slot = index_slot(form, form.names[i]);
    if (form.index[slot] == 0) form.index[slot] = i + 1;
  }
  form.indexed_count = form.count;
}

const char* form_value(const FormTable& form, const char* name) {
  if (form.indexed_count != form.count) build_index(form);
  int entry = form.index[index_slot(form, name)];
  return entry != 0 ? form.values[entry - 1] : "";
}

void form_free(FormTable* form) {
  for (int i = 0; i < form->count; ++i) {
    free(form->names[i]);
    free(form->values[i]);
    form->names[i] = nullptr;
    form->values[i] = nullptr;
  }
  form->count = 0;
  form->indexed_count = 0;
  memset(form->index, 0, sizeof form->index);
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
