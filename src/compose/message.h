#pragma once
// Assembly of the header and body blocks from the settings and the form,
// the message handed to the judges (src/guard) and then to the delivery.
// May use src/config, src/form, src/base and src/platform; nothing of the
// judges, of the delivery or of SMTP.
//
// Errors: builders cannot fail (running out of memory ends the process
// through fatal_reply); assemble_message says which check stopped it, the reason logged.

#include <cstddef>

#include "base/chunks.h"
#include "base/text.h"
#include "compose/attachments.h"
#include "compose/envelope.h"
#include "compose/message_block.h"
#include "config/settings.h"
#include "form/form.h"
#include "form/request.h"

struct Message {
  MessageBlock header;  // accepted header lines, then the trailer line
  MessageBlock body;    // body lines, then the optional variable list
  // A body carrying files: body.wire is its text without the files' base64
  // lines, which are written from the request's scratch file where `files`
  // say (null and 0 otherwise). Write such a body with message_body_source.
  const FormRequest* upload;
  AttachedFile* files;
  int file_count;
  const char* eol;  // the line ending the files' lines take
};

// The body's bytes in blocks, the files' base64 lines among them: the text
// of body.wire alone when no file is attached. Valid while `message` and
// its request are.
ChunkSource message_body_source(const Message* message);

// The whole body, its files included, as one heap text: for the few
// copies written at once (a message kept for review, an engine's copy).
// Caller frees (text_buffer_free).
TextBuffer* message_body_text(const Message& message);

// The whole message as the server gets it before dot-stuffing (the header
// block, the empty line, the body) in blocks: what a judge that reads the
// message takes. False as chunks.h says.
bool message_write(const Message& message, ChunkSinkFn sink, void* context);

// A body label this long or longer leaves its entry out of the body.
constexpr int kMaxBodyLabel = 499;

// Fills a new header block from the settings' header lines (a line naming
// a form field takes its value from `form`), classifying each entry into
// `envelope`. The BCC entry fills the envelope but is not written, and CR
// and LF in a value become blanks. Then the optional Reply-To and, with
// standard_headers, Date, Message-ID and the MIME headers (`body`, the body
// block the header goes with, decides the Content-Transfer-Encoding; null
// counts as empty). Logs "generated headers {...}", then adds the trailer
// line. The caller owns the block.
// With `mixed_boundary` (a body carrying files), the MIME headers name a
// multipart/mixed body with that boundary, even without standard_headers.
// Without `keep_shown` the block has no copy (shown null). With
// `alternative`, the boundary is that of a multipart/alternative body (text
// and HTML) instead.
MessageBlock build_header_block(const Settings& settings, const FormTable& form,
                                Envelope* envelope, const char* body = nullptr,
                                const char* mixed_boundary = nullptr, bool keep_shown = true,
                                bool alternative = false);

// Fills a new body block from the settings' body lines (a field sent more
// than once shows all its values, joined by ", ") and, with "sendall
// true", the list of all submitted variables. The caller owns the block;
// `keep_shown` as above.
MessageBlock build_body_block(const Settings& settings, const FormTable& form,
                              bool keep_shown = true);

// The most characters a line of the message holds before its line end
// (SMTP takes 1000 octets with CR LF).
constexpr size_t kMaxLineLength = 998;

// Breaks every line of a finished block that holds more than kMaxLineLength
// characters (counting the "." that dot-stuffing adds to a line beginning
// with one), with `eol` as the inserted line end. A header line is folded at
// the last blank that fits, the blank starting the continuation line, or
// where there is none broken with an inserted blank; a body line is broken
// into pieces. No UTF-8 character is split. `shown`, the block's log copy
// (or null), is changed in step; a break inside submitted text shows there
// escaped. A separate step, so a mode that encodes long lines can skip it.
void limit_line_lengths(TextBuffer* block, TextBuffer* shown, const char* eol, bool header);

// What kept the message from being built whole (kNone: nothing did).
enum class AssembleStop {
  kNone,
  kNotConfigured,  // no From, To or Subject
  kAddressTooLong, // an address over 254 characters, or a local part over 64
};

// Builds both blocks into `message` (with standard_headers, a body that is
// not 7bit is quoted-printable encoded) and the envelope; the blocks' log
// copies only when a line that the log writes shows them, else null. Returns kNone when
// From, To and Subject were found and no address is too long; else what
// stopped it (the reason is logged). The message is filled either way. With attachments on, the files of `request`
// (if any) are attached after the text (compose/attachments.h).
AssembleStop assemble_message(const Settings& settings, const FormTable& form,
                              Envelope* envelope, Message* message,
                              const FormRequest* request = nullptr);

// Date, Message-ID (at the domain of `from`) and the MIME headers of a
// UTF-8 text body (`body` decides the Content-Transfer-Encoding; with
// `mixed_boundary`, a multipart/mixed body), each ended by `eol`: what
// standard_headers adds. The Message-ID is kept in block->message_id too.
void append_standard_headers(MessageBlock* block, const char* eol, const char* from,
                             const char* body, const char* mixed_boundary = nullptr,
                             bool alternative = false);



void message_free(Message* message);
