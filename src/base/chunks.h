#pragma once
// Bytes handed over in blocks: what a message too large to hold whole (one
// carrying uploaded files, or read back from a spool file) is written
// through, to the mail server, to a spool copy or to a judge reading it.
// Pure types: includes nothing of the program.
//
// Errors: a sink returns false to stop the writing (its own failure, which
// it logged or keeps); a source returns false when the sink stopped it or
// its own bytes could not be read (logged where that is found).

#include <cstddef>

// Takes the next `size` bytes. False: stop, nothing more is wanted.
using ChunkSinkFn = bool (*)(void* context, const char* data, size_t size);

// Bytes written in order, in blocks of at most about 100 KB, through `emit`.
struct ChunkSource {
  bool (*emit)(const void* source, ChunkSinkFn sink, void* sink_context);
  const void* source;
  long long size;  // the bytes `emit` writes in all
};

// Writes the source's bytes to `sink`. False as `emit` says.
inline bool chunk_source_write(const ChunkSource& source, ChunkSinkFn sink, void* context) {
  return source.emit(source.source, sink, context);
}
