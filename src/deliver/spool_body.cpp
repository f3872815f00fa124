// A large spool file read in pieces: its head parsed in memory, its body
// sent from the file in blocks (see spool_store.h).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/spool_store.h"
#include "platform/file_stream.h"

char* spool_read_head(const char* path, size_t size, size_t* length, const char** why,
                      int* open_error) {
  *open_error = 0;
  OsStreamFile file;
  int err = os_stream_open_read(path, &file);
  if (err != 0) {
    if (err == EINVAL || err == ELOOP) {
      *why = "it is not a regular file";
    } else {
      *open_error = err;
      *why = strerror(err);
    }
    return nullptr;
  }
  char* data = static_cast<char*>(malloc(size + 1));
  if (data == nullptr) fatal_reply(kOutOfMemory);
  size_t got = 0;
  while (got < size) {
    long n = os_stream_read_at(&file, static_cast<long long>(got), data + got, size - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  os_stream_close(&file);
  data[got] = '\0';
  *length = got;
  return data;
}

static bool emit_spool_body(const void* source, ChunkSinkFn sink, void* context) {
  const SpoolBody& body = *static_cast<const SpoolBody*>(source);
  OsStreamFile file;
  if (os_stream_open_read(body.path, &file) != 0) {
    log_event(LOG_ERROR, "spool: {%s} cannot be opened again to send its body.", body.path);
    return false;
  }
  constexpr size_t kBlock = 65536;
  char* block = static_cast<char*>(malloc(kBlock));
  if (block == nullptr) fatal_reply(kOutOfMemory);
  bool ok = true;
  long long at = 0;
  while (ok && at < body.size) {
    long long left = body.size - at;
    size_t want = left < static_cast<long long>(kBlock) ? static_cast<size_t>(left) : kBlock;
    long n = os_stream_read_at(&file, body.offset + at, block, want);
    if (n <= 0) {
      log_event(LOG_ERROR, "spool: {%s} ended or could not be read at byte %lld of its body.",
                body.path, at);
      ok = false;
      break;
    }
    ok = sink(context, block, static_cast<size_t>(n));
    at += n;
  }
  free(block);
  os_stream_close(&file);
  return ok;
}

ChunkSource spool_body_source(const SpoolBody* body) {
  return ChunkSource{emit_spool_body, body, body->size};
}