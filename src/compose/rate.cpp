#include "compose/rate.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "platform/net.h"
#include "platform/os.h"


static const char kMagic[8] = {'Q', 'L', 'R', 'A', 'T', 'E', '2', '\n'};
static const char kOldMagic[8] = {'Q', 'L', 'R', 'A', 'T', 'E', '1', '\n'};

// The image in memory is the file's content: both targets are little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the image is the file's bytes");
static_assert(sizeof(RateSlot) == 16, "slots are stored without padding");
static_assert(offsetof(RateImage, durations_us) == 40 && offsetof(RateImage, slots) == 168,
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


uint64_t rate_hash(const RateImage& image, RateKind kind, const char* data, size_t length) {
  uint64_t tweak = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(kind);
  uint64_t hash =
      siphash24(image.key, tweak, reinterpret_cast<const unsigned char*>(data), length);
  return hash == 0 ? 1 : hash;  // 0 marks a free slot
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

// The checksum over bytes 0..31 and 40 to the end, taken in blocks of four
// little-endian 64-bit words: four FNV-1a 64 lanes, one per word of a
// block, so that the multiplications over the 160 KB need not wait for one
// another; then the four lanes, as words, through a fifth. Any one word
// changed changes the result, as each step is a bijection of the lane.
static uint64_t checksum(const RateImage& image) {
  static_assert((kRateFileSize - 40) % 32 == 0, "whole blocks after the checksum");
  const unsigned char* file = reinterpret_cast<const unsigned char*>(&image);
  uint64_t lanes[4] = {kFnvBasis, kFnvBasis, kFnvBasis, kFnvBasis};
  auto take = [&lanes](const unsigned char* block) {
    uint64_t words[4];
    memcpy(words, block, sizeof words);  // little-endian, as stored
    for (int j = 0; j < 4; ++j) lanes[j] = (lanes[j] ^ words[j]) * kFnvPrime;
  };
  take(file);
  for (size_t i = 40; i < kRateFileSize; i += 32) take(file + i);
  uint64_t hash = kFnvBasis;
  for (uint64_t lane : lanes) hash = (hash ^ lane) * kFnvPrime;
  return hash;
}

bool rate_image_valid(const RateImage& image, size_t length) {
  return length == kRateFileSize && memcmp(image.magic, kMagic, sizeof kMagic) == 0 &&
         image.next_slot < static_cast<uint32_t>(kRateMaxEntries) &&
         image.next_duration < static_cast<uint32_t>(kRateDurations) &&
         image.checksum == checksum(image);
}

void rate_seal(RateImage* image) { image->checksum = checksum(*image); }

void rate_start_afresh(RateImage* image) {
  memset(image, 0, sizeof *image);
  memcpy(image->magic, kMagic, sizeof kMagic);
  if (os_random_bytes(image->key, kRateKeySize)) return;
  // No system generator: a key from the time, the process and an address
  // of this process still differs from file to file.
  uint64_t parts[3] = {static_cast<uint64_t>(time(nullptr)), static_cast<uint64_t>(os_pid()),
                       static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&parts))};
  uint64_t mix = fnv1a(kFnvBasis, reinterpret_cast<const unsigned char*>(parts), sizeof parts);
  store64(image->key, mix);
  store64(image->key + 8, fnv1a(mix, reinterpret_cast<const unsigned char*>(parts), sizeof parts));
}

int rate_count(RateImage* image, uint64_t hash, int64_t now, int64_t window_seconds) {
  int seen = 0;
  for (RateSlot& slot : image->slots) {
    if (slot.hash == 0) continue;
    int64_t at = slot.time;
    if (at + slot.kept <= now || at > now + slot.kept) {
      slot = RateSlot{0, 0, 0};
    } else if (slot.hash == hash && at > now - window_seconds) {
      ++seen;
    }
  }
  return seen;
}

void rate_record(RateImage* image, uint64_t hash, int64_t now, int64_t window_seconds) {
  uint32_t at = static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(now, 0), UINT32_MAX));
  uint32_t kept =
      static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(window_seconds, 0), UINT32_MAX));
  image->slots[image->next_slot] = RateSlot{hash, at, kept};
  image->next_slot = (image->next_slot + 1) % kRateMaxEntries;
}

bool rate_forget(RateImage* image, uint64_t hash) {
  for (int back = 1; back <= kRateMaxEntries; ++back) {
    RateSlot& slot = image->slots[(image->next_slot + kRateMaxEntries - back) % kRateMaxEntries];
    if (slot.hash == hash) {
      slot = RateSlot{0, 0, 0};
      return true;
    }
  }
  return false;
}

bool rate_admit(RateImage* image, uint64_t hash, int64_t now, int limit,
                int64_t window_seconds) {
  if (rate_count(image, hash, now, window_seconds) >= limit) return false;
  rate_record(image, hash, now, window_seconds);
  return true;
}

void rate_note_duration(RateImage* image, long long microseconds) {
  long long kept = std::min<long long>(std::max<long long>(microseconds, 1), UINT32_MAX);
  image->durations_us[image->next_duration] = static_cast<uint32_t>(kept);
  image->next_duration = (image->next_duration + 1) % kRateDurations;
}

long long rate_median_duration(const RateImage& image) {
  uint32_t kept[kRateDurations];
  int count = 0;
  for (uint32_t duration : image.durations_us) {
    if (duration != 0) kept[count++] = duration;
  }
  if (count == 0) return -1;
  std::nth_element(kept, kept + count / 2, kept + count);
  return kept[count / 2];
}
