#pragma once
// Reads a multipart/form-data body as it comes, block by block, and keeps
// in memory all of it but the content of its file parts, which goes to the
// run's scratch file (platform/file_stream.h) as it arrives: an upload of
// any size takes the same memory. What is kept is the body with each file
// part's content cut out, which multipart_decode frames exactly as it would
// the whole body; `pieces` tell where each cut was and where its bytes are
// in the scratch file. Framing follows form/multipart.h (delimiters after
// a line feed or at the start, padding, CR LF or LF, the closing "--");
// the epilogue is dropped. May use src/base, src/platform and
// form/multipart.h.
//
// Errors: feeding fails only when the scratch file cannot be written
// (`error` holds the errno value); running out of memory ends the process
// (fatal_reply).

#include <cstddef>

#include "platform/file_stream.h"

// A file part's content: cut out of the kept body at `at`, and `size`
// bytes from `offset` of the scratch file.
struct UploadPiece {
  size_t at;
  long long offset;
  long long size;
};

enum class SplitState { kPreamble, kHeaders, kText, kFile, kDone };

struct UploadSplit {
  char boundary[201];
  size_t boundary_length;
  bool framed;  // false: no usable boundary, the whole body is kept
  char* kept;   // the body without the files' content, NUL-ended
  size_t kept_length;
  size_t kept_capacity;
  char* window;  // bytes read and not yet placed: a possible delimiter's start
  size_t window_length;
  size_t window_capacity;
  bool opened;  // the body's first bytes were looked at for a delimiter
  SplitState state;
  size_t part_start;  // in `kept`: where the current part's header lines begin
  size_t line_start;  // ...and its current header line
  OsStreamFile scratch;  // opened with the first file byte
  long long scratch_size;
  UploadPiece* pieces;
  int piece_count;
  int piece_capacity;
  int error;  // errno of a failed scratch write, 0 for none
};

// Starts reading a body framed by `boundary` (null, empty, over 200 bytes
// or holding CR or LF: nothing is cut out).
void upload_split_start(UploadSplit* split, const char* boundary);

// Takes the next `size` bytes of the body. False when the scratch file
// could not be written (split->error).
bool upload_split_feed(UploadSplit* split, const char* data, size_t size);

// The body has ended: places what was held back. False as above.
bool upload_split_finish(UploadSplit* split);

// The offset in the whole body of `offset` in the kept one.
size_t upload_split_body_offset(const UploadSplit* split, size_t offset);

// Hands the kept body (heap, NUL-ended) and the scratch file to the caller;
// the pieces stay for upload_split_body_offset until upload_split_free.
char* upload_split_take(UploadSplit* split, size_t* length, OsStreamFile* scratch);

// Releases everything and closes the scratch file.
void upload_split_free(UploadSplit* split);
