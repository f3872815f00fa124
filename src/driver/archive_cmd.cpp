#include "driver/archive_cmd.h"
#include "driver/archive_init_cmd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_text.h"
#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "driver/archive_export.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

namespace {

struct Options {
  ArchiveQuery query;
  const char* word;  // the command's own argument (show ID, export FORMAT, erase TARGET)
};

void discard_log_line(int, const char*, void*) {}

int usage(const char* why) {
  printf("-archive: %s\n"
         "usage: -archive list [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--outcome WORD]"
         " [--search TEXT] [--limit N]\n"
         "       -archive show ID\n"
         "       -archive export csv|json [--since YYYY-MM-DD] [--until YYYY-MM-DD]\n"
         "       -archive erase ADDRESS|ID\n"
         "       -archive purge\n",
         why);
  return 2;
}

// The options after the command; false (with a usage line) for a mistake.
bool read_options(int argc, char** argv, int first, bool filters, Options* out) {
  for (int i = first; i < argc; i += 2) {
    const char* name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage("an option without its value") == 0;
    long long day = 0;
    bool date = strcmp(name, "--since") == 0 || strcmp(name, "--until") == 0;
    if (date && !archive_parse_date(value, &day)) return usage("a date is YYYY-MM-DD") == 0;
    if (strcmp(name, "--since") == 0) {
      out->query.since = day;
    } else if (strcmp(name, "--until") == 0) {
      out->query.until = day + 86400;  // the whole day
    } else if (filters && strcmp(name, "--outcome") == 0) {
      out->query.outcome = value;
    } else if (filters && strcmp(name, "--search") == 0) {
      out->query.search = value;
    } else if (filters && strcmp(name, "--limit") == 0) {
      char* end = nullptr;
      out->query.limit = strtoll(value, &end, 10);
      if (*end != '\0' || out->query.limit < 1) return usage("--limit takes a number") == 0;
    } else {
      return usage("an unknown option") == 0;
    }
  }
  return true;
}

// A text on one line: control characters become blanks.
void print_flat(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    putchar(static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F ? ' ' : *p);
  }
}

bool list_row(const ArchiveRow& row, void*) {
  printf("%s  %s  %s  ", row.id, row.received, row.outcome[0] != '\0' ? row.outcome : "(pending)");
  print_flat(row.sender[0] != '\0' ? row.sender : "-");
  printf("  ");
  print_flat(row.subject[0] != '\0' ? row.subject : "-");
  printf("  ");
  print_flat(row.excerpt);
  printf("\n");
  return true;
}

// A value over several lines: the lines after the first indented.
void print_value(const char* value, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    putchar(value[i]);
    if (value[i] == '\n') fputs("    ", stdout);
  }
  putchar('\n');
}

void show_field(const char* name, size_t, const char* value, size_t length, void*) {
  printf("field %s: ", name);
  print_value(value, length);
}

bool show_row(const ArchiveRow& row, void* context) {
  *static_cast<bool*>(context) = true;
  const struct {
    const char* name;
    const char* value;
  } lines[] = {{"id", row.id},
               {"received", row.received},
               {"form", row.form},
               {"language", row.language},
               {"outcome", row.outcome},
               {"verdict", row.verdict},
               {"spam", row.spam_verdict},
               {"spam reasons", row.spam_reasons},
               {"spam score", row.spam_score},
               {"virus", row.virus_verdict},
               {"webhooks", row.webhooks},
               {"server reply", row.server_reply},
               {"message-id", row.message_id},
               {"spool name", row.spool_name},
               {"time taken (ms)", row.elapsed_ms},
               {"client", row.client},
               {"user agent", row.user_agent},
               {"files", row.files}};
  for (const auto& line : lines) {
    if (line.value[0] != '\0') printf("%s: %s\n", line.name, line.value);
  }
  archive_fields_each(row.fields, show_field, nullptr);
  return true;
}

}  // namespace

// ---- erase and purge ----

namespace {

struct EraseRun {
  const Settings* settings;
  SpoolStore store;
  bool spool;
  int files;
};

// Removes the files of `folder` whose names begin with `base`.
void remove_copies(EraseRun* run, const char* folder, const char* base) {
  NameList names = {};
  if (base[0] == '\0' || spool_list_sorted(folder, &names) != 0) return;
  size_t length = strlen(base);
  for (int i = 0; i < names.count; ++i) {
    if (strncmp(names.names[i], base, length) != 0) continue;
    char* path = spool_path(folder, names.names[i]);
    if (os_remove_file(path) == 0) {
      printf("  removed %s\n", path);
      ++run->files;
    }
    free(path);
  }
  spool_free_names(&names);
}

// The kept copies of a removed record; never queue/, still to be sent.
void erased(const char* id, const char* spool_name, void* context) {
  EraseRun* run = static_cast<EraseRun*>(context);
  printf("removed the record %s\n", id);
  if (!run->spool) return;
  char* records = spool_path(run->store.root, "records");
  const char* folders[] = {run->store.sent, run->store.failed, run->store.quarantine,
                           run->store.hooks, records};
  for (const char* folder : folders) {
    remove_copies(run, folder, id);
    if (strcmp(spool_name, id) != 0) remove_copies(run, folder, spool_name);
  }
  free(records);
}

// What is left in this server's spool of the erased submissions: the
// records still waiting (not in the database yet) and, for an address,
// every kept message file that holds it: with a shared database another
// server may have removed the records, whose copies lie here.
void erase_waiting(EraseRun* run, const char* target) {
  char* records = spool_path(run->store.root, "records");
  const char* folders[] = {records, run->store.sent, run->store.failed, run->store.quarantine,
                           run->store.hooks};
  bool address = strchr(target, '@') != nullptr;
  for (const char* folder : folders) {
    NameList names = {};
    if (spool_list_sorted(folder, &names) != 0) continue;
    for (int i = 0; i < names.count; ++i) {
      char* path = spool_path(folder, names.names[i]);
      char* data = nullptr;
      size_t length = 0;
      bool match = strncmp(names.names[i], target, strlen(target)) == 0 ||
                   (address && os_read_regular_file(path, 1 << 26, &data, &length) == 0 &&
                    archive_holds_address(data, target));
      if (match && os_remove_file(path) == 0) {
        printf("  removed %s\n", path);
        ++run->files;
      }
      free(data);
      free(path);
    }
    spool_free_names(&names);
  }
  free(records);
}

int erase_command(Archive* archive, const Settings& settings, const char* target) {
  EraseRun run = {&settings, {}, settings.spool_folder != nullptr, 0};
  if (run.spool) {
    spool_store_open(settings.spool_folder, g_program.ini_path, settings.spool_keep_sent,
                     settings.smtp_timeout, nullptr, &run.store);
  }
  long long removed = 0;
  bool ok = archive_erase(archive, target, erased, &run, &removed);
  if (ok && run.spool) erase_waiting(&run, target);
  if (run.spool) spool_store_close(&run.store);
  if (!ok) {
    printf("-archive erase: %s\n", archive->error);
    return 3;
  }
  printf("erase %s: %lld record%s and %d spool file%s removed\n", target, removed,
         removed == 1 ? "" : "s", run.files, run.files == 1 ? "" : "s");
  return 0;
}

int purge_command(Archive* archive, const Settings& settings) {
  int days = settings.archive_keep_days;
  if (days <= 0) {
    printf("purge: archive_keep_days is not set; nothing removed\n");
    return 0;
  }
  long long now = os_unix_time_us() / 1000000;
  long long removed = 0;
  if (!archive_purge(archive, now - days * 86400LL, &removed)) {
    printf("-archive purge: %s\n", archive->error);
    return 3;
  }
  printf("purge: %lld record%s older than %d days removed\n", removed, removed == 1 ? "" : "s",
         days);
  // sent/ follows the archive's period unless spool_keep_sent sets its own.
  if (settings.spool_folder != nullptr && settings.spool_keep_sent &&
      settings.spool_keep_sent_days == 0) {
    SpoolStore store;
    spool_store_open(settings.spool_folder, g_program.ini_path, true, settings.smtp_timeout,
                     nullptr, &store);
    int files = 0;
    if (os_is_directory(store.sent) && spool_prune_sent(store, days, &files) == 0) {
      printf("purge: %d sent/ file%s older than %d days removed\n", files,
             files == 1 ? "" : "s", days);
    }
    spool_store_close(&store);
  }
  return 0;
}

// Root may not open another user's archive: the -wal and -shm files it
// made would be root's, and the CGI could not open the database again.
bool owned_or_refused(const Archive& archive) {
  if (archive_is_database_url(archive.path)) return true;
  char folder[sizeof archive.path];
  snprintf(folder, sizeof folder, "%s", archive.path);
  char* slash = strrchr(folder, '/');
  if (slash != nullptr) *slash = '\0';
  long long bytes = 0;
  const char* checked = os_file_size(archive.path, &bytes) == 0 ? archive.path
                        : slash != nullptr                          ? folder
                                                                    : ".";
  if (os_owned_by_me(checked)) return true;
  printf("-archive: %s belongs to another user; run the command as that user (the web "
         "server's), not as this one.\n",
         checked);
  return false;
}

int run_command(const char* command, Archive* archive, const Settings& settings,
                const Options& options) {
  if (strcmp(command, "list") == 0) {
    return archive_query(archive, options.query, list_row, nullptr) ? 0 : -1;
  }
  if (strcmp(command, "show") == 0) {
    bool found = false;
    if (!archive_query(archive, options.query, show_row, &found)) return -1;
    if (!found) printf("-archive show: no record %s\n", options.word);
    return found ? 0 : 1;
  }
  if (strcmp(command, "export") == 0) {
    bool csv = strcmp(options.word, "csv") == 0;
    bool ok = csv ? archive_export_csv(archive, options.query)
                  : archive_export_json(archive, options.query);
    return ok ? 0 : -1;
  }
  if (strcmp(command, "erase") == 0) return erase_command(archive, settings, options.word);
  return purge_command(archive, settings);
}

// The command's words; false (with the usage) for a mistake.
bool read_command(int argc, char** argv, Options* options) {
  const char* command = argv[2];
  bool with_word = strcmp(command, "show") == 0 || strcmp(command, "export") == 0 ||
                   strcmp(command, "erase") == 0;
  bool known = with_word || strcmp(command, "list") == 0 || strcmp(command, "purge") == 0;
  if (!known) return usage("no such command") == 0;
  int first = 3;
  if (with_word) {
    if (argc < 4) return usage("the command needs its argument") == 0;
    options->word = argv[3];
    first = 4;
  }
  if (strcmp(command, "show") == 0) options->query.id = options->word;
  if (strcmp(command, "export") == 0 && strcmp(options->word, "csv") != 0 &&
      strcmp(options->word, "json") != 0) {
    return usage("export writes csv or json") == 0;
  }
  bool takes_options = strcmp(command, "list") == 0 || strcmp(command, "export") == 0;
  if (!takes_options && argc > first) return usage("this command takes no options") == 0;
  return read_options(argc, argv, first, strcmp(command, "list") == 0, options);
}

}  // namespace

int archive_command(int argc, char** argv) {
  // init makes the shared database's tables (PostgreSQL); the others
  // read and prune the records.
  if (argc >= 3 && strcmp(argv[2], "init") == 0) return archive_init_command(argc, argv);
  g_log.echo = discard_log_line;
  Options options = {};
  if (!read_command(argc, argv, &options)) return 2;
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("-archive: the settings file %s cannot be opened.\n", g_program.ini_path);
    return 3;
  }
  int code = 3;
  Archive archive = {};
  if (settings.archive == nullptr) {
    printf("-archive: no archive line in the settings file %s\n", g_program.ini_path);
  } else {
    char* path = archive_resolved_path(settings, g_program.ini_path);
    snprintf(archive.path, sizeof archive.path, "%s", path);
    free(path);
    if (owned_or_refused(archive) &&
        archive_open(settings, g_program.ini_path, settings.archive_timeout * 1000, &archive,
                     false)) {
      code = run_command(argv[2], &archive, settings, options);
      if (code < 0) printf("-archive %s: %s\n", argv[2], archive.error);
      if (code < 0) code = 3;
      archive_close(&archive);
    } else if (archive.error[0] != '\0') {
      printf("-archive: %s\n", archive.error);
    }
  }
  fflush(stdout);
  settings_free(&settings);
  return code;
}
