#pragma once
// The virus scanner's client: the zINSTREAM, zVERSION and zPING commands of
// a clamd daemon over TCP ("HOST:PORT") or a Unix socket (a path from "/";
// POSIX only), each within a time limit. Part of src/guard: may use
// src/base and the platform's sockets and clock. Errors: a call that could
// not get an answer says so in its result (never a scan that passed); the
// caller logs it.

#include <cstddef>

// clamd takes a stream in chunks; each is led by its length, 4 bytes big-endian.
constexpr size_t kClamdChunk = 64 * 1024;

// Where the bytes of a stream come from: up to `cap` bytes into `buf`,
// 0 at the end.
using ClamdReadFn = size_t (*)(void* source, char* buf, size_t cap);

enum class ClamdStatus {
  kClean,       // "stream: OK"
  kFound,       // "stream: NAME FOUND": `name` holds NAME
  kSizeLimit,   // over clamd's StreamMaxLength: not scanned
  kError,       // clamd answered with an error: not scanned
  kNoAnswer,    // no connection, a broken one, no reply in time: not scanned
};

struct ClamdResult {
  ClamdStatus status;
  char name[200];   // the signature's name, kFound only
  char text[300];   // what went wrong (or clamd's reply), for the error line
};

// When a call must be done: the earlier of now + `timeout_seconds` and
// `deadline_ms` (an os_monotonic_ms() time; 0: none).
long long clamd_end_ms(int timeout_seconds, long long deadline_ms);

// Reads clamd's reply to a stream (its "z" form, the NUL cut off or not).
void clamd_parse_reply(const char* reply, size_t length, ClamdResult* out);

// The 4-byte length in front of a chunk of `length` bytes.
void clamd_chunk_head(size_t length, unsigned char out[4]);

// Streams what `read` gives to clamd at `address` and reads its verdict,
// all by `end_ms`.
ClamdResult clamd_scan(const char* address, ClamdReadFn read, void* source, long long end_ms);

// Sends a one-word command ("VERSION", "PING") and reads the reply line
// into `reply`. False with the reason in `reply`.
bool clamd_command(const char* address, const char* command, long long end_ms, char* reply,
                   size_t size);

// A reader over bytes in memory.
struct ClamdMemory {
  const char* data;
  size_t size;
  size_t at;
};
size_t clamd_read_memory(void* source, char* buf, size_t cap);
