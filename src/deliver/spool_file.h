#pragma once
// The spool's file format and file names: pure functions over bytes, so
// they can be checked without a disk. May use src/base only.
//
// A spool file is text: envelope lines, an empty line, then the message
// exactly as the dialogue hands it over before dot-stuffing (header block,
// the empty line, body, every line ended by the e-mail line ending):
//
//   QUILLON spool 1
//   line-ending: CRLF          (or LF)
//   mail-from: form@example.com
//   rcpt-to: owner@example.com
//   rcpt-bcc: hidden@example.com    (only when there is one)
//   rcpt-cc: copy@example.com       (only when there is one)
//
//   To: ...
//
// The envelope lines end in LF (a CR before it is allowed). Every file is
// written so. Format 2, written for the webhooks (deliver/webhook_file.h),
// names its destination on its second line:
//
//   QUILLON spool 2
//   destination: mail          (or "webhook N", or "record")
//
// followed, for the mail, by the lines of format 1 after its first; the
// rest of a file for another destination is that destination's. A mail
// message whose files could not be scanned for viruses yet is written in
// format 2 with the line
//
//   scan: pending
//
// among its envelope lines: -resend scans it before it may be sent. A copy
// kept for the owner's review (quarantine/) says why before its envelope:
//
//   verdict: quarantined       (or "refused")
//   mark: spam                 (a free word: "spam", "infected"...)
//   reasons: 7 links, limit 2
//   score: 14.20               (only when an engine gave one)
//   time: 2026-01-07T13:45:01Z
//
// One kept because the judges' shared state could not be used carries, there,
//
//   judge: shared_state
//   client: 203.0.113.9        (the client address, when there was one)
//   duplicate: 9f86d081884c7d659f86d081884c7d65   (with duplicate_window)
//
// -resend runs the rate limit and the duplicate window with them first.
//
// NAME is "<UTC time>_<host>_<pid>_<random>", e.g.
// "20260107T134501.123456Z_web1_4242_9f86d081884c7d65": unique across
// processes and machines, and sorted by name the queue is oldest first.

#include <cstddef>

constexpr int kSpoolMaxAttempts = 20;
constexpr long long kSpoolMaxAgeSeconds = 7LL * 24 * 3600;
constexpr size_t kSpoolHostPart = 40;   // longer host names are cut and hashed
constexpr size_t kSpoolNameSize = 128;  // room for any NAME and its NUL

// Where a spool file goes.
enum class SpoolDestination { kMail, kWebhook, kRecord, kUnknown };

struct SpoolMessage {
  const char* line_ending;  // "\n" or "\r\n"
  char* from;               // heap copies; cc and bcc may be null
  char* to;
  char* cc;
  char* bcc;
  char* header_block;  // up to and including the line end of its last line
  char* body;
  // Read from format 2 (format 1 is the mail's); for another destination
  // only these are filled.
  SpoolDestination destination = SpoolDestination::kMail;
  int webhook = 0;                 // N of "webhook N"
  char destination_text[40] = "";  // the line's value, for an error line
  bool scan_pending = false;       // "scan: pending": not sent before a clean scan
  // "judge: shared_state": not sent before the shared state judged it, by
  // its client address (heap, may be null) and its duplicate key's digest
  // ("" for none).
  bool judge_shared_state = false;
  char* client = nullptr;
  char duplicate[33] = "";
  // A quarantined copy's lines (format 2); "" when the file has none.
  char verdict[16] = "";
  char mark[24] = "";
  char reasons[256] = "";
  char score[24] = "";
  char time[24] = "";
};

// A quarantined copy's lines as spool_format_quarantined writes them.
struct SpoolVerdict {
  const char* verdict;  // "quarantined" or "refused"
  const char* mark;     // "spam", "infected"...
  const char* reasons;  // line ends become blanks
  const char* score;    // null: none
  long long seconds;    // when it was kept, seconds since 1970 (UTC)
};

// The whole format 2 file of a quarantined copy. Caller frees it.
char* spool_format_quarantined(const SpoolMessage& message, const SpoolVerdict& verdict,
                               size_t* length);

// "2026-01-07T13:45:01Z" for `seconds` since 1970 (UTC), into `out` (24 bytes).
void spool_time_text(long long seconds, char* out, size_t size);

// "CRLF" for "\r\n", else "LF".
const char* spool_line_ending_name(const char* line_ending);

// The whole file for a message. Caller frees it.
char* spool_format(const SpoolMessage& message, size_t* length);

// Reads a whole file into `out`; false with a reason in *why when the
// file is not a spool file (then `out` holds nothing to free). A format 2
// file for another destination than the mail fills only its destination.
// spool_message_free releases what it filled.
bool spool_parse(const char* data, size_t length, SpoolMessage* out, const char** why);

// spool_parse for a file too large to read whole: `data` is its first
// `length` bytes, which hold at least the envelope and the header block.
// The body is left out (out->body is ""): *body_at is where it starts in
// the file. False as spool_parse, also when the header block does not end
// within `length` bytes.
bool spool_parse_head(const char* data, size_t length, SpoolMessage* out, size_t* body_at,
                      const char** why);
void spool_message_free(SpoolMessage* message);

// The parts of a queue/ or work/ name. Returns false for any other name.
struct SpoolName {
  long long seconds;  // the time in the name, seconds since 1970 (UTC)
  char host[48];
  int pid;
  int attempts;       // -1 for "_new"; 0 for a work/ folder name
  size_t base_length; // the "<time>_<host>_<pid>_<random>" part
};
bool spool_parse_name(const char* name, bool folder, SpoolName* out);

// The host part of names from the machine's name `raw`: letters, digits,
// "." and "-" (anything else becomes "-"), at most kSpoolHostPart
// characters, "host" for an empty name.
void spool_host_part(const char* raw, char* out, size_t size);

// NAME for the time `unix_us` (microseconds since 1970, UTC), the host part,
// the process id and 8 random bytes, into `out` (kSpoolNameSize bytes).
void spool_base_name(long long unix_us, const char* host, int pid,
                     const unsigned char random[8], char* out, size_t size);

// The file of webhook N of submission NAME in hooks/: "NAME_hookN.txt".
void hook_file_name(const char* base, int webhook, char* out, size_t size);

// Whether `name` is a hook file's name; its NAME's length in *base_length.
bool hook_file_name_parse(const char* name, size_t* base_length);

