#include "deliver/spool_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/file_stream.h"
#include "platform/os.h"

namespace {

constexpr size_t kMaxSpoolFile = 16u * 1024u * 1024u;

char* spool_root(const char* folder, const char* ini) {
  if (os_path_is_absolute(folder)) return copy_text_or_die(folder, kOutOfMemory);
  const char* slash = nullptr;
  for (const char* p = ini; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') slash = p;
  }
  if (slash == nullptr) return copy_text_or_die(folder, kOutOfMemory);
  char* dir = copy_bytes_or_die(ini, static_cast<size_t>(slash - ini), kOutOfMemory);
  char* root = spool_path(dir, folder);
  free(dir);
  return root;
}

const char* this_host() {
  static char host[kSpoolHostPart + 1];
  if (host[0] == '\0') {
    char raw[256];
    os_host_name(raw, sizeof raw);
    spool_host_part(raw, host, sizeof host);
  }
  return host;
}

void collect_name(const char* name, void* context) {
  NameList* list = static_cast<NameList*>(context);
  if (list->count == list->capacity) {
    int capacity = list->capacity == 0 ? 64 : list->capacity * 2;
    char** grown = static_cast<char**>(realloc(list->names, sizeof(char*) * capacity));
    if (grown == nullptr) fatal_reply(kOutOfMemory);
    list->names = grown;
    list->capacity = capacity;
  }
  list->names[list->count++] = copy_text_or_die(name, kOutOfMemory);
}

int compare_names(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

// One file of another run's work/ folder: back to the queue when the claim
// is stale, to failed/ when it is stale and has no spool name.
void release_file(const SpoolStore& store, const char* folder, const char* folder_name,
                  const char* name, bool ended, long long now) {
  char* file = spool_path(folder, name);
  long long mtime = 0;
  bool stale = ended || (os_file_mtime(file, &mtime) == 0 && now - mtime > store.claim_seconds);
  SpoolName parsed;
  size_t hook_base = 0;
  if (stale && hook_file_name_parse(name, &hook_base)) {
    // A webhook's file goes back to hooks/, its next try as it was.
    char* hook = spool_path(store.hooks, name);
    int err = os_rename_noreplace(file, hook);
    free(hook);
    if (err == 0) {
      log_event(LOG_ERROR, "resend: {%s} was held by the run {%s}, which %s; back in hooks/.",
                name, folder_name, ended ? "has ended" : "held it too long");
    }
  } else if (stale && spool_parse_name(name, false, &parsed)) {
    int attempts = parsed.attempts < 0 ? 1 : parsed.attempts + 1;
    char new_name[kSpoolFileNameSize];
    if (spool_put_back(store, file, name, parsed.base_length, attempts, new_name,
                       sizeof new_name) == 0) {
      log_event(LOG_ERROR, "resend: {%s} was held by the run {%s}, which %s; back in the queue as {%s}.",
                name, folder_name, ended ? "has ended" : "held it too long", new_name);
    }
  } else if (stale) {
    spool_give_up(store, file, name, "was held by a run that ended and has no spool name");
  }
  free(file);
}

}  // namespace

char* spool_path(const char* folder, const char* name) {
  size_t length = strlen(folder) + 1 + strlen(name);
  char* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) fatal_reply(kOutOfMemory);
  snprintf(path, length + 1, "%s/%s", folder, name);
  return path;
}

void spool_store_open(const char* folder, const char* ini_path, bool keep_sent,
                      int smtp_timeout, const char* pause_at, SpoolStore* store) {
  store->root = spool_root(folder, ini_path);
  store->tmp = spool_path(store->root, "tmp");
  store->queue = spool_path(store->root, "queue");
  store->sent = spool_path(store->root, "sent");
  store->work = spool_path(store->root, "work");
  store->failed = spool_path(store->root, "failed");
  store->hooks = spool_path(store->root, "hooks");
  store->quarantine = spool_path(store->root, "quarantine");
  store->keep_sent = keep_sent;
  long long by_timeout = 20LL * smtp_timeout;
  store->claim_seconds = by_timeout > kSpoolMinClaimSeconds ? by_timeout : kSpoolMinClaimSeconds;
  store->pause_at = pause_at;
}

void spool_store_close(SpoolStore* store) {
  free(store->root);
  free(store->tmp);
  free(store->queue);
  free(store->sent);
  free(store->work);
  free(store->failed);
  free(store->hooks);
  free(store->quarantine);
  *store = SpoolStore();
}

void spool_pause(const SpoolStore& store, const char* step) {
  if (store.pause_at == nullptr || strcmp(store.pause_at, step) != 0) return;
  fprintf(stderr, "paused at %s\n", step);
  fflush(stderr);
  os_sleep_ms(60000);
}

int spool_ensure_folder(const char* path) {
  // A link could lead a run, root's -resend among them, into any folder.
  if (os_is_link(path)) return ELOOP;
  int err = os_make_directory(path);
  if (err == 0) return 0;
  if (os_is_directory(path)) return 0;
  return err == EEXIST ? ENOTDIR : err;
}

bool spool_owned_by_me(const SpoolStore& store, char* why, size_t size) {
  // A folder not made yet will be this user's.
  if (!os_is_link(store.root) && !os_is_directory(store.root)) return true;
  if (!os_is_link(store.root) && os_owned_by_me(store.root)) return true;
  snprintf(why, size,
           "the spool folder %s is not this user's own folder: -resend runs only as the "
           "user owning it (and not through a link)",
           store.root);
  return false;
}

int spool_ensure_folders(const SpoolStore& store, const char** which) {
  const char* needed[] = {store.root, store.tmp, store.queue, store.sent};
  for (const char* path : needed) {
    int err = spool_ensure_folder(path);
    if (err != 0) {
      *which = path;
      return err;
    }
  }
  return 0;
}

void spool_new_name(char* out, size_t size) {
  long long us = os_unix_time_us();
  unsigned char random[8];
  if (!os_random_bytes(random, sizeof random)) {
    // No random source: time and process id still tell runs apart, and
    // the counter tells apart the names of one run.
    static unsigned counter = 0;
    unsigned long long mix = static_cast<unsigned long long>(us) ^
                             (static_cast<unsigned long long>(os_pid()) << 32) ^ ++counter;
    memcpy(random, &mix, sizeof random);
  }
  spool_base_name(us, this_host(), os_pid(), random, out, size);
}

long long spool_now_seconds() { return os_unix_time_us() / 1000000LL; }

bool spool_writer_ended(const SpoolName& name) {
  return strcmp(name.host, this_host()) == 0 && !os_process_alive(name.pid);
}

namespace {

struct FileSink {
  OsStreamFile* file;
  int error;
};

bool write_block(void* context, const char* data, size_t size) {
  FileSink* sink = static_cast<FileSink*>(context);
  sink->error = os_stream_write(sink->file, data, size);
  return sink->error == 0;
}

// os_write_new_file with the bytes of `rest` after `data`.
int write_new_file(const char* path, const char* data, size_t length, const ChunkSource* rest) {
  if (rest == nullptr) return os_write_new_file(path, data, length, true);
  OsStreamFile file;
  int err = os_stream_create(path, &file);
  if (err != 0) return err;
  FileSink sink = {&file, 0};
  if (!write_block(&sink, data, length) || !chunk_source_write(*rest, write_block, &sink)) {
    err = sink.error != 0 ? sink.error : EIO;
  }
  if (err == 0) err = os_stream_flush(&file);
  int closed = os_stream_close(&file);
  return err != 0 ? err : closed;
}

}  // namespace

int spool_keep(const SpoolStore& store, const char* base, const char* data, size_t length,
               char** queued, const char** step, char** where, const ChunkSource* rest) {
  char name[kSpoolFileNameSize];
  snprintf(name, sizeof name, "%s.txt", base);
  char* tmp = spool_path(store.tmp, name);
  snprintf(name, sizeof name, "%s_new.txt", base);
  char* queue = spool_path(store.queue, name);
  *step = "write";
  int err = write_new_file(tmp, data, length, rest);
  if (err == 0) {
    spool_pause(store, "spool-written");
    *step = "rename into queue/";
    err = os_rename_noreplace(tmp, queue);
  }
  if (err != 0) {
    os_remove_file(tmp);
    *where = tmp;
    free(queue);
    return err;
  }
  free(tmp);
  // The rename itself must survive a power cut too.
  int flushed = os_flush_directory(store.queue);
  if (flushed != 0) {
    log_event(LOG_ERROR, "spool: queue/ {%s} cannot be flushed to disk (%d: %s).", store.queue,
              flushed, strerror(flushed));
  }
  *queued = queue;
  return 0;
}

// The bytes of the regular files of `folder`; 0 when it cannot be listed.
static long long folder_bytes(const char* folder) {
  NameList files = {};
  long long total = 0;
  if (spool_list_sorted(folder, &files) != 0) return 0;
  for (int i = 0; i < files.count; ++i) {
    char* file = spool_path(folder, files.names[i]);
    long long size = 0;
    if (os_file_size(file, &size) == 0) total += size;
    free(file);
  }
  spool_free_names(&files);
  return total;
}

long long spool_queue_bytes(const SpoolStore& store) {
  return folder_bytes(store.queue) + folder_bytes(store.hooks) + folder_bytes(store.quarantine);
}

long long spool_free_floor(long long total_bytes) {
  const long long kMostFloor = 100LL * 1024 * 1024;
  long long share = total_bytes / 20;
  return share < kMostFloor ? share : kMostFloor;
}

bool spool_has_room(const SpoolStore& store, size_t length, int max_mb) {
  long long need = static_cast<long long>(length);
  long long queued = spool_queue_bytes(store);
  long long most = static_cast<long long>(max_mb) * 1024 * 1024;
  if (max_mb > 0 && queued + need > most) {
    log_event(LOG_ERROR,
              "spool: queue/ holds %lld bytes; %lld more would pass spool_max_mb (%d MB): "
              "sending without a copy.",
              queued, need, max_mb);
    return false;
  }
  long long free_bytes = 0;
  long long total = 0;
  if (os_disk_space(store.root, &free_bytes, &total) == 0 &&
      free_bytes - need < spool_free_floor(total)) {
    log_event(LOG_ERROR,
              "spool: {%s} has %lld bytes free; a copy would leave less than %lld: sending "
              "without a copy.",
              store.root, free_bytes, spool_free_floor(total));
    return false;
  }
  return true;
}

// Renames `from` to `to` in `folder`, which is made only when the move
// finds it missing, and never followed when it is a link.
static int move_into_folder(const char* folder, const char* from, const char* to) {
  if (os_is_link(folder)) return ELOOP;
  int err = os_rename_noreplace(from, to);
  if (err == ENOENT) {
    err = spool_ensure_folder(folder);
    if (err == 0) err = os_rename_noreplace(from, to);
  }
  return err;
}

bool spool_take_out_sent(const SpoolStore& store, const char* file, const char* base) {
  if (store.keep_sent) {
    char sent_name[kSpoolFileNameSize];
    snprintf(sent_name, sizeof sent_name, "%s.txt", base);
    char* sent = spool_path(store.sent, sent_name);
    int err = move_into_folder(store.sent, file, sent);
    free(sent);
    if (err == 0) {
      log_event(LOG_DEBUG, "spool: {%s} moved to sent/.", sent_name);
      return true;
    }
    log_event(LOG_ERROR, "spool: {%s} was sent but cannot be moved to sent/ (%d: %s); deleting it.",
              file, err, strerror(err));
  }
  int err = os_remove_file(file);
  if (err == 0) {
    log_event(LOG_DEBUG, "spool: {%s} deleted after it was sent.", file);
    return true;
  }
  log_event(LOG_ERROR, "spool: {%s} was sent but cannot be deleted (%d: %s); it may be sent again.",
            file, err, strerror(err));
  return false;
}

void spool_give_up(const SpoolStore& store, const char* from, const char* name, const char* why) {
  char* failed = spool_path(store.failed, name);
  int err = move_into_folder(store.failed, from, failed);
  free(failed);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: {%s} %s, but cannot be moved to failed/ (%d: %s).", name, why,
              err, strerror(err));
    return;
  }
  log_event(LOG_ERROR, "resend: {%s} %s; moved to failed/.", name, why);
}

int spool_put_back(const SpoolStore& store, const char* from, const char* name,
                   size_t base_length, int attempts, char* new_name, size_t new_name_size) {
  snprintf(new_name, new_name_size, "%.*s_%d.txt", static_cast<int>(base_length), name, attempts);
  char* queue = spool_path(store.queue, new_name);
  int err = os_rename_noreplace(from, queue);
  free(queue);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: {%s} cannot go back to the queue as {%s} (%d: %s).", from,
              new_name, err, strerror(err));
  }
  return err;
}

int spool_list_sorted(const char* folder, NameList* list) {
  *list = NameList();
  int err = os_list_directory(folder, collect_name, list);
  int kept = 0;
  for (int i = 0; i < list->count; ++i) {
    if (list->names[i][0] == '.') {
      free(list->names[i]);
    } else {
      list->names[kept++] = list->names[i];
    }
  }
  list->count = kept;
  if (list->count > 1) {
    qsort(list->names, static_cast<size_t>(list->count), sizeof(char*), compare_names);
  }
  return err;
}

void spool_free_names(NameList* list) {
  for (int i = 0; i < list->count; ++i) free(list->names[i]);
  free(list->names);
  *list = NameList();
}

int spool_claim(const char* mine, const char* queued, const char* claimed) {
  // The claim's age is counted from now: the time is set before the file
  // shows in work/, where others judge it.
  int err = os_touch_file(queued);
  if (err == ENOENT) return err;
  err = os_rename_noreplace(queued, claimed);
  if (err == ENOENT && !os_is_directory(mine) && os_make_directory(mine) == 0) {
    err = os_rename_noreplace(queued, claimed);
  }
  return err;
}

void spool_release_claims(const SpoolStore& store, const char* mine_name) {
  NameList folders;
  spool_list_sorted(store.work, &folders);
  long long now = spool_now_seconds();
  for (int i = 0; i < folders.count; ++i) {
    const char* folder_name = folders.names[i];
    SpoolName owner;
    if (strcmp(folder_name, mine_name) == 0 || !spool_parse_name(folder_name, true, &owner)) {
      continue;
    }
    // The interrupted try counts: it may have been the message that ended the run.
    bool ended = spool_writer_ended(owner);
    char* folder = spool_path(store.work, folder_name);
    NameList files;
    spool_list_sorted(folder, &files);
    for (int j = 0; j < files.count; ++j) {
      release_file(store, folder, folder_name, files.names[j], ended, now);
    }
    spool_free_names(&files);
    if (ended || now - owner.seconds > store.claim_seconds) os_remove_directory(folder);
    free(folder);
  }
  spool_free_names(&folders);
}

void spool_clear_tmp(const SpoolStore& store) {
  // Such files never reached the queue: after the claim time-out they go to
  // failed/ for a person.
  NameList files;
  spool_list_sorted(store.tmp, &files);
  long long now = spool_now_seconds();
  for (int i = 0; i < files.count; ++i) {
    char* file = spool_path(store.tmp, files.names[i]);
    long long mtime = 0;
    if (os_file_mtime(file, &mtime) == 0 && now - mtime > store.claim_seconds) {
      spool_give_up(store, file, files.names[i],
                    "was left in tmp/ by a run that ended while writing it");
    }
    free(file);
  }
  spool_free_names(&files);
}

char* spool_read_file(const char* path, size_t* length, const char** why, int* open_error) {
  *open_error = 0;
  char* data = nullptr;
  // Opened without waiting: a FIFO or device in the queue is never read.
  int err = os_read_regular_file(path, kMaxSpoolFile, &data, length);
  if (err == EINVAL || err == ELOOP) {
    *why = "it is not a regular file";
  } else if (err == EFBIG) {
    *why = "it is larger than 16 MiB";
  } else if (err != 0) {
    *open_error = err;
    *why = strerror(err);
  }
  return data;
}
