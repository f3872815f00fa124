#include "form/form.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

FormTable g_form;

// The receiving area: the body and the NUL that ends it.
static char form_body[kMaxFormBody + 1];

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
  return copy_bytes_or_die(start, length, "out of memory.");
}

void read_form() {
  const char* content_length = getenv_or_empty("CONTENT_LENGTH");
  long wanted = parse_length(content_length);
  os_stdin_binary();
  size_t got = 0;
  if (wanted > kMaxFormBody) {
    log_event(LOG_ERROR,
              "CONTENT_LENGTH {%s} is more than %d bytes: only the first %d bytes "
              "were read, the rest of the form is ignored.",
              content_length, kMaxFormBody, kMaxFormBody);
    wanted = kMaxFormBody;
  }
  // A pipe hands the body over in pieces; keep reading until it is all here
  // or the input ends.
  while (wanted > 0 && got < static_cast<size_t>(wanted)) {
    size_t n = fread(form_body + got, 1, static_cast<size_t>(wanted) - got, stdin);
    if (n == 0) break;
    got += n;
  }
  form_body[got] = '\0';
  form_decode(form_body, got);
}

void form_decode(const char* body, size_t length) {
  const char* nul = static_cast<const char*>(memchr(body, '\0', length));
  if (nul != nullptr) length = static_cast<size_t>(nul - body);
  // A cursor walks the body instead of moving the unread rest down at every
  // '&': the pairs come out the same, without time growing with the square of
  // the body.
  size_t pos = 0;
  while (pos < length && g_form.count < kMaxFormPairs) {
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
    g_form.names[g_form.count] = name;
    g_form.values[g_form.count] = pair;
    ++g_form.count;
  }
}

const char* form_value(const char* name) {
  for (int i = 0; i < g_form.count; ++i) {
    if (strcmp(g_form.names[i], name) == 0) return g_form.values[i];
  }
  return "";
}

void form_reset() {
  for (int i = 0; i < g_form.count; ++i) {
    free(g_form.names[i]);
    free(g_form.values[i]);
    g_form.names[i] = nullptr;
    g_form.values[i] = nullptr;
  }
  g_form.count = 0;
}

void plus_to_space(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '+') *text = ' ';
  }
}

void percent_decode(char* text) {
  char* out = text;
  const char* in = text;
  while (*in != '\0') {
    // A '%' without two characters after it is kept as it stands, so the
    // decoding never reaches past the end of the pair.
    if (in[0] == '%' && in[1] != '\0' && in[2] != '\0') {
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
  while (*in != '\0') {
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
