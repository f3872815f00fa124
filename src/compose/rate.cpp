#include "compose/rate.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "platform/os.h"


static const char kMagic[8] = {'Q', 'L', 'R', 'A', 'T', 'E', '1', '\n'};

// On a little-endian machine the entries in memory are the entries in the
// file, and are copied as one block.
static_assert(sizeof(RateEntry) == kRateEntrySize, "entries are stored without padding");
constexpr bool kEntriesAsStored = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

static uint64_t load64(const unsigned char* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

static void store64(unsigned char* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

static uint32_t load32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static void store32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
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

static uint64_t siphash24(const unsigned char key[16], const unsigned char* data, size_t length) {
  uint64_t k0 = load64(key);
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

uint64_t rate_client_hash(const RateTable& table, const char* address) {
  return siphash24(table.key, reinterpret_cast<const unsigned char*>(address),
                   strlen(address));
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

// The file's checksum over bytes 0..31 and the entries, taken in blocks of
// four little-endian 64-bit words (a last half block padded with zeros):
// four FNV-1a 64 lanes, one per word of a block, so that the
// multiplications over a 160 KB file need not wait for one another; then
// the four lanes, as words, through a fifth. Any one word changed changes
// the result, as each step is a bijection of the lane.
static uint64_t checksum(const unsigned char* file, size_t length) {
  uint64_t lanes[4] = {kFnvBasis, kFnvBasis, kFnvBasis, kFnvBasis};
  auto take = [&lanes](const unsigned char* block) {
    for (int j = 0; j < 4; ++j) lanes[j] = (lanes[j] ^ load64(block + 8 * j)) * kFnvPrime;
  };
  take(file);
  size_t i = kRateHeaderSize;
  for (; i + 32 <= length; i += 32) take(file + i);
  if (i < length) {  // an odd number of entries leaves one of 16 bytes
    unsigned char last[32] = {};
    memcpy(last, file + i, length - i);
    take(last);
  }
  uint64_t hash = kFnvBasis;
  for (uint64_t lane : lanes) hash = (hash ^ lane) * kFnvPrime;
  return hash;
}

bool rate_decode(const char* data, size_t length, RateTable* table) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  if (length < kRateHeaderSize || memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  uint32_t count = load32(bytes + 24);
  if (count > static_cast<uint32_t>(kRateMaxEntries) || load32(bytes + 28) != 0 ||
      length != kRateHeaderSize + kRateEntrySize * count) {
    return false;
  }
  if (checksum(bytes, length) != load64(bytes + 32)) return false;
  memcpy(table->key, bytes + 8, kRateKeySize);
  table->count = static_cast<int>(count);
  if (kEntriesAsStored) {
    memcpy(table->entries, bytes + kRateHeaderSize, kRateEntrySize * count);
    return true;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* entry = bytes + kRateHeaderSize + kRateEntrySize * i;
    table->entries[i].client = load64(entry);
    table->entries[i].time = static_cast<int64_t>(load64(entry + 8));
  }
  return true;
}

size_t rate_encode(const RateTable& table, char* out) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
  memcpy(bytes, kMagic, sizeof kMagic);
  memcpy(bytes + 8, table.key, kRateKeySize);
  store32(bytes + 24, static_cast<uint32_t>(table.count));
  store32(bytes + 28, 0);
  if (kEntriesAsStored) {
    memcpy(bytes + kRateHeaderSize, table.entries,
           kRateEntrySize * static_cast<size_t>(table.count));
  } else {
    for (int i = 0; i < table.count; ++i) {
      unsigned char* entry = bytes + kRateHeaderSize + kRateEntrySize * i;
      store64(entry, table.entries[i].client);
      store64(entry + 8, static_cast<uint64_t>(table.entries[i].time));
    }
  }
  size_t length = kRateHeaderSize + kRateEntrySize * static_cast<size_t>(table.count);
  store64(bytes + 32, checksum(bytes, length));
  return length;
}

void rate_start_afresh(RateTable* table) {
  table->count = 0;
  if (os_random_bytes(table->key, kRateKeySize)) return;
  // No system generator: a key from the time, the process and an address
  // of this process still differs from file to file.
  uint64_t parts[3] = {static_cast<uint64_t>(time(nullptr)), static_cast<uint64_t>(os_pid()),
                       static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&parts))};
  uint64_t mix = fnv1a(kFnvBasis, reinterpret_cast<const unsigned char*>(parts), sizeof parts);
  store64(table->key, mix);
  store64(table->key + 8, fnv1a(mix, reinterpret_cast<const unsigned char*>(parts), sizeof parts));
}

bool rate_admit(RateTable* table, uint64_t client, int64_t now, int limit,
                int64_t window_seconds) {
  int kept = 0;
  int seen = 0;
  for (int i = 0; i < table->count; ++i) {
    const RateEntry& entry = table->entries[i];
    if (entry.time <= now - window_seconds || entry.time > now + window_seconds) continue;
    if (entry.client == client) ++seen;
    table->entries[kept++] = entry;
  }
  table->count = kept;
  if (seen >= limit) return false;
  if (table->count == kRateMaxEntries) {
    memmove(&table->entries[0], &table->entries[1],
            sizeof(RateEntry) * static_cast<size_t>(kRateMaxEntries - 1));
    --table->count;
  }
  table->entries[table->count++] = RateEntry{client, now};
  return true;
}

// The table and the file's content (read into the area, and written from
// it): together over 300 kB, so on the heap for the one check of a run.
struct RateWork {
  RateTable table;
  char area[kRateFileMax + 1];
};

// Reads the file into work->table; a damaged one (logged) or an empty one
// is started afresh. False when the file could not be read at all.
static bool load_table(OsLockedFile* file, const char* path, RateWork* work) {
  long length = os_locked_read(file, work->area, sizeof work->area);
  if (length < 0) {
    int error = static_cast<int>(-length);
    log_event(LOG_ERROR,
              "rate_limit state file (%s) could not be read (%d)(%s): sending without "
              "the limit.",
              path, error, strerror(error));
    return false;
  }
  if (length == 0) {
    rate_start_afresh(&work->table);
    return true;
  }
  if (!rate_decode(work->area, static_cast<size_t>(length), &work->table)) {
    log_event(LOG_ERROR,
              "rate_limit state file (%s) is damaged (%ld bytes that are no whole "
              "state): starting it afresh.",
              path, length);
    rate_start_afresh(&work->table);
  }
  return true;
}

// The admission against the locked file: true when `client` may send (also
// when the file cannot be read: a broken limit must not lose mail).
static bool admit_locked(OsLockedFile* file, const char* path, const char* client, int limit,
                         int64_t window, RateWork* work) {
  bool loaded = load_table(file, path, work);
  bool admitted = true;
  if (loaded) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    admitted = rate_admit(&work->table, rate_client_hash(work->table, client), now, limit,
                          window);
  }
  if (loaded && admitted) {
    size_t length = rate_encode(work->table, work->area);
    int error = os_locked_rewrite(file, work->area, length);
    if (error != 0) {
      log_event(LOG_ERROR,
                "rate_limit state file (%s) could not be written (%d)(%s): this "
                "submission is not counted.",
                path, error, strerror(error));
    }
  }
  return admitted;
}

bool rate_limit_allows(const Settings& settings) {
  int limit = settings.rate_limit_count;
  if (limit <= 0 || settings.rate_limit_minutes <= 0) return true;
  const char* client = getenv("REMOTE_ADDR");
  if (client == nullptr || client[0] == '\0') {
    log_event(LOG_ERROR, "rate_limit: the web server gave no client address (REMOTE_ADDR): "
                         "sending without the limit.");
    return true;
  }
  const char* path = g_program.rate_path;
  // Allocated before the lock is taken: the lock is held as briefly as can be.
  RateWork* work = static_cast<RateWork*>(malloc(sizeof(RateWork)));
  if (work == nullptr) fatal_reply(kOutOfMemory);
  OsLockedFile file;
  int error = os_locked_open(path, kRateLockWaitMs, &file);
  bool admitted = true;
  if (error == EWOULDBLOCK) {
    log_event(LOG_ERROR,
              "rate_limit state file (%s) stayed locked for over %d ms: sending without "
              "the limit.",
              path, kRateLockWaitMs);
  } else if (error != 0) {
    log_event(LOG_ERROR,
              "rate_limit state file (%s) could not be opened (%d)(%s): sending without "
              "the limit.",
              path, error, strerror(error));
  } else {
    int64_t window = static_cast<int64_t>(settings.rate_limit_minutes) * 60;
    admitted = admit_locked(&file, path, client, limit, window, work);
    os_locked_close(&file);
  }
  free(work);
  if (!admitted) {
    log_event(LOG_ERROR,
              "submission refused: client {%s} is over the rate_limit of %d submissions "
              "in %d minutes.",
              client, limit, settings.rate_limit_minutes);
  }
  return admitted;
}
