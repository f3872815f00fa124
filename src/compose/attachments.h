#pragma once
// The files of a multipart form: whether the settings let them be attached
// (attachments_max_kb, attachments_max_files, attachment_type), and the
// multipart/mixed body that carries them after the text. May use
// src/config, src/form, src/base, src/platform and the Outcome words of
// reply/outcome.h. Errors: attachments_accept says yes or no with the
// Outcome, the reason logged in one error line; building cannot fail
// (running out of memory ends the process through fatal_reply).

#include <cstddef>

#include "base/chunks.h"
#include "base/text.h"
#include "config/settings.h"
#include "form/form.h"
#include "form/request.h"
#include "base/outcome.h"

// The endings taken when the settings name none.
extern const char* const kDefaultAttachmentTypes[];

// Without attachments_max_kb: logs one error line per file ("not
// attached: attachments are off") and leaves its field's value, the file
// name; returns true. With it: checks the number of files, each name's
// ending and the total size; false with *outcome kTooLarge or kUnsupported
// after one error line. On success each attached file's field shows
// "name (N bytes)".
bool attachments_accept(const Settings& settings, const FormRequest& request, FormTable* form,
                        Outcome* outcome);

// Whether the message carries files: attachments on and files sent.
bool attachments_wanted(const Settings& settings, const FormRequest* request);

// Where a file's base64 lines go in a body carrying files: they are not
// kept in the body's text but written from the scratch file while the
// message is written (attachments_write_file), right after byte `at` of the
// text.
struct AttachedFile {
  size_t at;
  int file;  // its index in FormRequest::files
  long long size;  // the bytes its base64 lines take
};

// Replaces `wire`/`shown` (the finished text body, already 7bit or
// quoted-printable as `text_encoding` says) by a multipart/mixed body: the
// text part, then each file base64-encoded in lines of 76 characters with
// its Content-Type and Content-Disposition (RFC 2231 for a non-ASCII name).
// The base64 lines of the files are left out of `wire`: *files (heap, one
// per file with bytes, *count of them) say where they belong. The copy for
// the log shows each file's size instead of its encoding. Writes the
// boundary, which occurs nowhere in the parts, into `boundary` (at least
// kBoundarySize bytes).
constexpr size_t kBoundarySize = 64;
// `first_type` (null: UTF-8 plain text) is the first part's Content-Type.
void attachments_build(const FormRequest& request, const char* text_encoding, const char* eol,
                       TextBuffer** wire, TextBuffer** shown, char* boundary,
                       AttachedFile** files, int* count, const char* first_type = nullptr);

// Writes file `index` of `request` as its base64 lines of 76 characters,
// each but the last followed by `eol`, read in blocks from the scratch
// file. False when the sink stopped or the file could not be read whole
// (one error line).
bool attachments_write_file(const FormRequest& request, int index, const char* eol,
                            ChunkSinkFn sink, void* context);
