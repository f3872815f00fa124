#include "guard/rate.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "platform/net.h"
#include "platform/os.h"


static const char kMagic[8] = {'Q', 'L', 'R', 'A', 'T', 'E', '2', '\n'};

// The image in memory is the file's content: both targets are little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the image is the file's bytes");
static_assert(sizeof(RateSlot) == 16, "slots are stored without padding");
static_assert(offsetof(RateHeader, durations_us) == 40 && sizeof(RateHeader) == 168,
              "the layout of rate.h");

static uint64_t load64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

static void store64(unsigned char* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

static uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

static void sip_round(uint64_t v[4]) {
  v[0] += v[1];
  v[1] = rotl(v[1], 13);
  v[1] ^= v[0];
  v[0] = rotl(v[0], 32);
  v[2] += v[3];
  v[3] = rotl(v[3], 16);
  v[3] ^= v[2];
  v[0] += v[3];
  v[3] = rotl(v[3], 21);
  v[3] ^= v[0];
  v[2] += v[1];
  v[1] = rotl(v[1], 17);
  v[1] ^= v[2];
  v[2] = rotl(v[2], 32);
}

static uint64_t siphash24(const unsigned char key[16], uint64_t tweak, const unsigned char* data,
                          size_t length) {
  uint64_t k0 = load64(key) ^ tweak;
  uint64_t k1 = load64(key + 8);
  uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
                   k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
  size_t whole = length - length % 8;
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = load64(data + i);
    v[3] ^= m;
    sip_round(v);
    sip_round(v);
    v[0] ^= m;
  }
  uint64_t last = static_cast<uint64_t>(length & 0xff) << 56;
  for (size_t i = 0; i < length % 8; ++i) {
    last |= static_cast<uint64_t>(data[whole + i]) << (8 * i);
  }
  v[3] ^= last;
  sip_round(v);
  sip_round(v);
  v[0] ^= last;
  v[2] ^= 0xff;
  for (int i = 0; i < 4; ++i) sip_round(v);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}


uint64_t rate_hash(const RateHeader& header, RateKind kind, const char* data, size_t length) {
  uint64_t tweak = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(kind);
  uint64_t hash =
      siphash24(header.key, tweak, reinterpret_cast<const unsigned char*>(data), length);
  return hash == 0 ? 1 : hash;  // 0 marks a free slot
}

static const unsigned char kFileKey[16] = {'q', 'u', 'i', 'l', 'l', 'o', 'n', ' ',
                                           'f', 'i', 'l', 'e', 'k', 'e', 'y', '1'};

static void sip_start(uint64_t v[4], uint64_t tweak) {
  uint64_t k0 = load64(kFileKey) ^ tweak;
  uint64_t k1 = load64(kFileKey + 8);
  v[0] = k0 ^ 0x736f6d6570736575ULL;
  v[1] = k1 ^ 0x646f72616e646f6dULL;
  v[2] = k0 ^ 0x6c7967656e657261ULL;
  v[3] = k1 ^ 0x7465646279746573ULL;
}

static void sip_word(uint64_t v[4], uint64_t m) {
  v[3] ^= m;
  sip_round(v);
  sip_round(v);
  v[0] ^= m;
}

void rate_digest_start(RateDigest* digest) {
  sip_start(digest->v[0], 1);
  sip_start(digest->v[1], 2);
  digest->tail_length = 0;
  digest->length = 0;
}

void rate_digest_add(RateDigest* digest, const char* data, size_t length) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  digest->length += length;
  for (size_t i = 0; i < length; ++i) {
    digest->tail[digest->tail_length++] = bytes[i];
    if (digest->tail_length < 8) continue;
    uint64_t m = load64(digest->tail);
    sip_word(digest->v[0], m);
    sip_word(digest->v[1], m);
    digest->tail_length = 0;
  }
}

void rate_digest_end(RateDigest* digest, char* out) {
  uint64_t last = static_cast<uint64_t>(digest->length & 0xff) << 56;
  for (size_t i = 0; i < digest->tail_length; ++i) {
    last |= static_cast<uint64_t>(digest->tail[i]) << (8 * i);
  }
  uint64_t result[2];
  for (int k = 0; k < 2; ++k) {
    uint64_t* v = digest->v[k];
    sip_word(v, last);
    v[2] ^= 0xff;
    for (int i = 0; i < 4; ++i) sip_round(v);
    result[k] = v[0] ^ v[1] ^ v[2] ^ v[3];
  }
  snprintf(out, kRateDigestSize, "%016llx%016llx", static_cast<unsigned long long>(result[0]),
           static_cast<unsigned long long>(result[1]));
}

void rate_bytes_digest(const char* data, size_t length, char* out) {
  RateDigest digest;
  rate_digest_start(&digest);
  rate_digest_add(&digest, data, length);
  rate_digest_end(&digest, out);
}

static const uint64_t kFnvBasis = 0xcbf29ce484222325ULL;
static const uint64_t kFnvPrime = 0x100000001b3ULL;

static uint64_t fnv1a(uint64_t hash, const unsigned char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    hash ^= data[i];
    hash *= kFnvPrime;
  }
  return hash;
}

uint64_t rate_terms(const void* data, size_t index, size_t count) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  uint64_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    uint64_t word;
    memcpy(&word, bytes + 8 * i, sizeof word);  // little-endian, as stored
    sum += rate_word_term(index + i, word);
  }
  return sum;
}

constexpr size_t kChecksumWord = offsetof(RateHeader, checksum) / 8;

uint64_t rate_header_terms(const RateHeader& header) {
  const char* bytes = reinterpret_cast<const char*>(&header);
  constexpr size_t kWords = sizeof(RateHeader) / 8;
  return rate_terms(bytes, 0, kChecksumWord) +
         rate_terms(bytes + 8 * (kChecksumWord + 1), kChecksumWord + 1,
                    kWords - kChecksumWord - 1);
}

bool rate_header_sane(const RateHeader& header) {
  return memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
         header.next_slot < static_cast<uint32_t>(kRateMaxEntries) &&
         header.next_duration < static_cast<uint32_t>(kRateDurations);
}

void rate_header_start(RateHeader* header) {
  memset(header, 0, sizeof *header);
  memcpy(header->magic, kMagic, sizeof kMagic);
  if (os_random_bytes(header->key, kRateKeySize)) return;
  // No system generator: a key from the time, the process and an address
  // of this process still differs from file to file.
  uint64_t parts[3] = {static_cast<uint64_t>(time(nullptr)), static_cast<uint64_t>(os_pid()),
                       static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&parts))};
  uint64_t mix = fnv1a(kFnvBasis, reinterpret_cast<const unsigned char*>(parts), sizeof parts);
  store64(header->key, mix);
  store64(header->key + 8, fnv1a(mix, reinterpret_cast<const unsigned char*>(parts), sizeof parts));
}

RateSlot rate_slot_make(uint64_t hash, int64_t now, int64_t window_seconds) {
  auto clamp = [](int64_t value) {
    return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(value, 0), UINT32_MAX));
  };
  return RateSlot{hash, clamp(now), std::min(clamp(window_seconds), kRateKeptMask)};
}

void rate_note_duration(RateHeader* header, long long microseconds) {
  long long kept = std::min<long long>(std::max<long long>(microseconds, 1), UINT32_MAX);
  header->durations_us[header->next_duration] = static_cast<uint32_t>(kept);
  header->next_duration = (header->next_duration + 1) % kRateDurations;
}

long long rate_median_duration(const RateHeader& header) {
  uint32_t kept[kRateDurations];
  int count = 0;
  for (uint32_t duration : header.durations_us) {
    if (duration != 0) kept[count++] = duration;
  }
  if (count == 0) return -1;
  std::nth_element(kept, kept + count / 2, kept + count);
  return kept[count / 2];
}

bool rate_client_key(const char* remote_addr, char* out) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  unsigned char a[16];
  if (net_parse_address(remote_addr, false, a + 12)) {
    memcpy(a, kMapped, sizeof kMapped);
  } else if (!net_parse_address(remote_addr, true, a)) {
    snprintf(out, kRateClientSize, "invalid");
    return false;
  }
  if (memcmp(a, kMapped, sizeof kMapped) == 0) {
    snprintf(out, kRateClientSize, "%u.%u.%u.%u", a[12], a[13], a[14], a[15]);
  } else {
    // One client of IPv6 commonly holds a whole /64.
    snprintf(out, kRateClientSize, "%x:%x:%x:%x::/64", a[0] << 8 | a[1], a[2] << 8 | a[3],
             a[4] << 8 | a[5], a[6] << 8 | a[7]);
  }
  return true;
}

const char* rate_state_user(const Settings& settings) {
  if (settings.shared_state != nullptr) return nullptr;  // kept in the database
  if (settings.rate_limit_count > 0 && settings.rate_limit_minutes > 0) return "rate_limit";
  if (settings.duplicate_window_minutes > 0) return "duplicate_window";
  if (settings.captcha != nullptr && strcmp(settings.captcha, "altcha") == 0) {
    return "captcha altcha";
  }
  // The confirmation goes only behind a passed CAPTCHA.
  if (settings.autoreply_to_variable != nullptr && settings.captcha != nullptr &&
      settings.autoreply_window > 0) {
    return "autoreply_window";
  }
  return nullptr;
}

bool rate_state_in_use(const Settings& settings) {
  return (settings.rate_limit_count > 0 && settings.rate_limit_minutes > 0) ||
         settings.duplicate_window_minutes > 0;
}
