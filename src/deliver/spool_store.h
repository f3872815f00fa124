#pragma once
// The spool on disk: its folders, keeping a message, taking it out once a
// server took it, claims of -resend runs and their release. May use
// src/base, src/platform and the file format (deliver/spool_file.h).
//
// With `spool_folder` set, every message is on disk from before its
// dialogue until a server took it. The folder holds
//
//   tmp/     spool files being written; nothing reads them (and nothing
//            else, an upload among them, is ever written there)
//   queue/   messages waiting: NAME_new.txt while the run that wrote it is
//            still trying it, NAME_N.txt after N counted failed attempts
//   work/    one folder per -resend run, holding the message it is sending
//   sent/    NAME.txt for each message a server accepted (spool_keep_sent)
//   failed/  messages given up (kSpoolMaxAttempts failures, older than
//            kSpoolMaxAgeSeconds, or not readable as a spool file)
//   hooks/   webhook requests not yet delivered (deliver/webhook_file.h),
//            each with its next try; -resend posts those that are due
//   quarantine/  kept for checks to come
//            (hooks/ and quarantine/ count toward spool_max_mb when present)
//
// Errors: functions that touch the disk return 0 or the errno value, and
// log what a person must know where the failure is found.

#include <cstddef>

#include "base/chunks.h"
#include "deliver/spool_file.h"

// A claim is released after the longer of this and 20 times smtp_timeout
// (or at once when the run holding it is known to have ended).
constexpr long long kSpoolMinClaimSeconds = 3600;
constexpr size_t kSpoolFileNameSize = 200;  // NAME with a suffix and ".txt"

struct SpoolStore {
  char* root;  // heap paths, released by spool_store_close
  char* tmp;
  char* queue;
  char* sent;
  char* work;
  char* failed;
  char* hooks;
  char* quarantine;
  bool keep_sent;           // spool_keep_sent: move to sent/ rather than delete
  long long claim_seconds;  // how long a claim holds
  const char* pause_at;     // a test's pause point (QUILLON_TEST_PAUSE_AT), or null
};

// The paths of the spool at `folder`; a relative one is taken from the
// folder of the settings file at `ini_path`, so that the web server's runs
// and a -resend started elsewhere agree on it.
void spool_store_open(const char* folder, const char* ini_path, bool keep_sent,
                      int smtp_timeout, const char* pause_at, SpoolStore* store);
void spool_store_close(SpoolStore* store);

// With `pause_at` naming `step`, says so on standard error and waits a
// minute there, so that a test can kill the run at exactly that point.
void spool_pause(const SpoolStore& store, const char* step);

// A heap "folder/name".
char* spool_path(const char* folder, const char* name);

// Creates a folder unless it is there. Returns 0 or the error.
int spool_ensure_folder(const char* path);

// Whether this process may work on the spool: its folder belongs to the
// user it runs as (see os_owned_by_me). False with the reason in `why`.
bool spool_owned_by_me(const SpoolStore& store, char* why, size_t size);

// The folders every run needs; the first that fails names itself in *which.
// A folder that is a symbolic link gives ELOOP.
int spool_ensure_folders(const SpoolStore& store, const char** which);

// A new NAME for this process (kSpoolNameSize bytes in `out`).
void spool_new_name(char* out, size_t size);

// Seconds since 1970 now.
long long spool_now_seconds();

// Whether the run named by `name` (a queue/ or work/ name) has surely ended:
// it ran on this machine and its process is gone.
bool spool_writer_ended(const SpoolName& name);

// Writes tmp/NAME.txt (`data`, then the bytes of `rest` when it is not
// null, written in blocks), flushed to disk, and renames it to
// queue/NAME_new.txt (*queued, heap). Returns 0 or the error, with the step
// and the path (heap) that failed (EIO when `rest` could not be read).
int spool_keep(const SpoolStore& store, const char* base, const char* data, size_t length,
               char** queued, const char** step, char** where,
               const ChunkSource* rest = nullptr);

// The bytes spool_max_mb bounds: the regular files of queue/, and of
// hooks/ and quarantine/ when they are there.
long long spool_queue_bytes(const SpoolStore& store);

// The free space a copy must leave on the spool's file system: 5 % of it
// or 100 MB, whichever is less.
long long spool_free_floor(long long total_bytes);

// Whether a copy of `length` bytes keeps queue/ within `max_mb` (0: no
// bound) and the file system above its floor. False with one error line.
bool spool_has_room(const SpoolStore& store, size_t length, int max_mb);

// Moves a message the server took from `file` to sent/BASE.txt (or deletes
// it). Returns whether it left the queue; whatever happens it is logged.
bool spool_take_out_sent(const SpoolStore& store, const char* file, const char* base);

// Moves `from` to failed/NAME with one error line.
void spool_give_up(const SpoolStore& store, const char* from, const char* name, const char* why);

// Puts `from` back into queue/ as NAME_<attempts>.txt (the name in
// `new_name`). Returns 0 or the error (logged).
int spool_put_back(const SpoolStore& store, const char* from, const char* name,
                   size_t base_length, int attempts, char* new_name, size_t new_name_size);

// The entries of a folder, sorted by name; names beginning with "." (left
// by editors and file browsers) are not the spool's and are left out.
struct NameList {
  char** names;
  int count;
  int capacity;
};
int spool_list_sorted(const char* folder, NameList* list);
void spool_free_names(NameList* list);

// Claims `queued` by renaming it to `claimed` in the folder `mine`, which
// another run may have removed as stale. Returns 0, ENOENT when another run
// took it, or the error.
int spool_claim(const char* mine, const char* queued, const char* claimed);

// Claims left in work/ by runs other than `mine_name` that ended (or held
// them too long) go back to the queue, the interrupted try counted.
void spool_release_claims(const SpoolStore& store, const char* mine_name);

// Files left in tmp/ longer than a claim holds go to failed/.
void spool_clear_tmp(const SpoolStore& store);

// Removes the files of sent/ last changed more than `days` days ago
// (spool_keep_sent N); `days` 0 removes none. Returns 0 or the error of
// listing sent/ (a missing sent/ is no error); *removed counts them.
int spool_prune_sent(const SpoolStore& store, int days, int* removed);

// Reads a whole spool file (at most 16 MiB, a regular file, not through a
// link). Heap text, or null with the reason, and *open_error set when the
// file could not be opened.
char* spool_read_file(const char* path, size_t* length, const char** why, int* open_error);

// A spool file larger than this is sent from the file in blocks rather
// than read whole; one larger than kSpoolMostStreamed is not a spool file.
constexpr long long kSpoolReadWhole = 1024 * 1024;
constexpr long long kSpoolMostStreamed = 64LL * 1024 * 1024;

// Reads the first `size` bytes of the regular file at `path` (not through
// a link), as spool_read_file reads a whole one.
char* spool_read_head(const char* path, size_t size, size_t* length, const char** why,
                      int* open_error);

// The bytes of `path` from `offset` to its end (`size` of them), read in
// blocks while they are written: the body of a large spool file.
struct SpoolBody {
  const char* path;
  long long offset;
  long long size;
};
ChunkSource spool_body_source(const SpoolBody* body);
