#include "driver/quarantine_cmd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "deliver/quarantine.h"
#include "deliver/webhook.h"
#include "deliver/webhook_store.h"
#include "driver/environment.h"
#include "guard/spam_engine.h"

namespace {

// The value of header `name` ("From:") in a header block, up to its line
// end, control characters shown as '?'; "-" when there is none.
void header_value(const char* block, const char* name, char* out, size_t size) {
  snprintf(out, size, "-");
  size_t name_length = strlen(name);
  for (const char* line = block; line != nullptr && *line != '\0';) {
    if (ascii_equal_n(line, name, name_length)) {
      const char* value = line + name_length;
      while (*value == ' ') ++value;
      size_t length = strcspn(value, "\r\n");
      snprintf(out, size, "%.*s", static_cast<int>(length), value);
      for (char* c = out; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20) *c = '?';
      }
      return;
    }
    line = strchr(line, '\n');
    if (line != nullptr) ++line;
  }
}

void prune(const SpoolStore& store, const Settings& settings) {
  int removed = 0;
  if (quarantine_prune(store, settings.quarantine_keep_days, &removed) == 0 && removed > 0) {
    printf("quarantine: %d message%s older than %d days removed.\n", removed,
           removed == 1 ? "" : "s", settings.quarantine_keep_days);
  }
}

int list(const SpoolStore& store) {
  NameList names;
  int err = spool_list_sorted(store.quarantine, &names);
  if (err == ENOENT) {
    printf("quarantine: empty.\n");
    return 0;
  }
  if (err != 0) {
    printf("quarantine: %s cannot be listed (%d: %s).\n", store.quarantine, err, strerror(err));
    return 3;
  }
  for (int i = 0; i < names.count; ++i) {
    SpoolMessage message;
    char why[400];
    if (!quarantine_read(store, names.names[i], &message, why, sizeof why)) {
      printf("%s: %s\n", names.names[i], why);
      continue;
    }
    char from[200], reply_to[200], subject[300];
    header_value(message.header_block, "From:", from, sizeof from);
    header_value(message.header_block, "Reply-To:", reply_to, sizeof reply_to);
    header_value(message.header_block, "Subject:", subject, sizeof subject);
    printf("%.*s  %s  %s %s  score %s\n  From: %s  Reply-To: %s  Subject: %s\n  reasons: %s\n",
           static_cast<int>(strlen(names.names[i]) - 4), names.names[i], message.time,
           message.verdict, message.mark, message.score[0] != '\0' ? message.score : "-", from,
           reply_to, subject, message.reasons);
    spool_message_free(&message);
  }
  printf("quarantine: %d message%s.\n", names.count, names.count == 1 ? "" : "s");
  spool_free_names(&names);
  return 0;
}

int show(const SpoolStore& store, const char* name) {
  size_t length = 0;
  char why[400];
  char* data = quarantine_file(store, name, &length, why, sizeof why);
  if (data == nullptr) {
    printf("quarantine: %s\n", why);
    return 3;
  }
  fwrite(data, 1, length, stdout);
  free(data);
  return 0;
}

// With spam_learn, teaches the engine what the owner decided. A lesson that
// fails is said and logged; the decision stands.
void teach(const Settings& settings, const SpoolMessage& message, bool spam, const char* name) {
  if (!settings.spam_learn) return;
  TextBuffer* bytes = text_buffer_new("");
  text_buffer_append(bytes, "%s%s%s", message.header_block, message.line_ending, message.body);
  char error[400];
  if (spam_engine_learn(settings, bytes->data, static_cast<size_t>(bytes->length), spam, error,
                        sizeof error)) {
    printf("quarantine: the engine learned %s as %s.\n", name, spam ? "spam" : "ham");
  } else {
    printf("quarantine: the engine did not learn %s: %s\n", name, error);
    log_event(LOG_ERROR, "quarantine: the engine did not learn {%s} as %s: %s", name,
              spam ? "spam" : "ham", error);
  }
  text_buffer_free(bytes);
}

void print_line(const char* name, const char* outcome, void*) {
  printf("%s: %s\n", name, outcome);
}

struct ReleaseWatch {
  const char* queued;
  const char* outcome;
  char text[300];
};

void watch(const char* name, const char* outcome, void* context) {
  ReleaseWatch* seen = static_cast<ReleaseWatch*>(context);
  printf("%s: %s\n", name, outcome);
  if (strcmp(name, seen->queued) == 0) snprintf(seen->text, sizeof seen->text, "%s", outcome);
}

// NAME without ".txt": the submission id its held webhooks are named by.
void submission_of(const char* name, char* out, size_t size) {
  size_t length = strlen(name);
  if (length > 4 && strcmp(name + length - 4, ".txt") == 0) length -= 4;
  snprintf(out, size, "%.*s", static_cast<int>(length), name);
}

// The webhooks held with a released message, posted now; their words for
// the outcome line ("" when none was held).
void post_held_hooks(const Settings& settings, const char* name, char* words, size_t size) {
  char id[kSpoolFileNameSize];
  submission_of(name, id, sizeof id);
  HookTally tally;
  char error[1000] = "";
  words[0] = '\0';
  if (!release_held_hooks(delivery_context(settings), id, print_line, nullptr, &tally, error,
                          sizeof error)) {
    printf("quarantine: the held webhooks were not posted: %s\n", error);
    return;
  }
  if (tally.delivered + tally.kept + tally.gone + tally.failed + tally.others == 0) return;
  int used = snprintf(words, size, "; webhooks: %d delivered, %d kept for retry",
                      tally.delivered, tally.kept + tally.others);
  if (tally.gone > 0 && used > 0 && static_cast<size_t>(used) < size) {
    snprintf(words + used, size - static_cast<size_t>(used), ", %d dropped (410 Gone)",
             tally.gone);
  }
}

int release(const Settings& settings, const SpoolStore& store, const char* name, bool force) {
  SpoolMessage message;
  char why[400];
  if (!quarantine_read(store, name, &message, why, sizeof why)) {
    printf("quarantine: %s\n", why);
    return 3;
  }
  if (strcmp(message.mark, "infected") == 0 && !force) {
    printf("quarantine: %s is marked infected; release it with --force if you are sure.\n", name);
    spool_message_free(&message);
    return 3;
  }
  char queued[kSpoolFileNameSize];
  int err = quarantine_release(store, name, queued, sizeof queued);
  if (err != 0) {
    printf("quarantine: %s cannot be released (%d: %s).\n", name, err,
           err == ENOENT ? "another run released or discarded it" : strerror(err));
    spool_message_free(&message);
    return 3;
  }
  if (strcmp(message.mark, "spam") == 0) teach(settings, message, false, name);
  spool_message_free(&message);
  ReleaseWatch seen = {queued, nullptr, "kept in the queue for -resend"};
  ResendTally tally;
  char error[1000] = "";
  ResendStatus status =
      deliver_resend(delivery_context(settings), watch, &seen, &tally, error, sizeof error);
  if (status != ResendStatus::kDone) printf("quarantine: not sent now: %s\n", error);
  char hooks[200];
  post_held_hooks(settings, name, hooks, sizeof hooks);
  log_event(LOG_OUTCOME, "outcome: released from quarantine: %s, %s%s", name, seen.text, hooks);
  return strncmp(seen.text, "sent", 4) == 0 ? 0 : 3;
}

int discard(const Settings& settings, const SpoolStore& store, const char* name) {
  SpoolMessage message;
  char why[400];
  bool read = quarantine_read(store, name, &message, why, sizeof why);
  if (!read && !quarantine_name_valid(name)) {
    printf("quarantine: %s\n", why);
    return 3;
  }
  if (read && strcmp(message.mark, "spam") == 0) teach(settings, message, true, name);
  if (read) spool_message_free(&message);
  int err = quarantine_remove(store, name);
  if (err != 0) {
    printf("quarantine: %s cannot be discarded (%d: %s).\n", name, err,
           err == ENOENT ? "no such message in quarantine/" : strerror(err));
    return 3;
  }
  char id[kSpoolFileNameSize];
  submission_of(name, id, sizeof id);
  int hooks = hook_store_drop_held(store, id);
  if (hooks > 0) printf("quarantine: %d held webhook%s removed.\n", hooks, hooks == 1 ? "" : "s");
  printf("quarantine: %s discarded.\n", name);
  log_event(LOG_OUTCOME, "outcome: discarded from quarantine: %s%s", name,
            settings.spam_learn && read ? ", taught as spam" : "");
  return 0;
}

int with_settings(const Settings& settings, int argc, char** argv) {
  if (settings.spool_folder == nullptr) {
    printf("quarantine: no spool_folder line in the settings file %s.\n", g_program.ini_path);
    return 3;
  }
  SpoolStore store;
  spool_store_open(settings.spool_folder, g_program.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, nullptr, &store);
  char why[400];
  int code = 3;
  const char* verb = argc >= 3 ? argv[2] : "list";
  bool force = argc == 5 && strcmp(argv[4], "--force") == 0;
  // Another user's spool is not touched, as -resend leaves it alone.
  if (!spool_owned_by_me(store, why, sizeof why)) {
    printf("quarantine: %s.\n", why);
  } else if (strcmp(verb, "list") == 0 && argc == 3) {
    prune(store, settings);
    code = list(store);
  } else if (argc == 2) {
    prune(store, settings);
    code = list(store);
  } else if (strcmp(verb, "show") == 0 && argc == 4) {
    code = show(store, argv[3]);
  } else if (strcmp(verb, "release") == 0 && (argc == 4 || force)) {
    code = release(settings, store, argv[3], force);
  } else if (strcmp(verb, "discard") == 0 && argc == 4) {
    code = discard(settings, store, argv[3]);
  } else {
    printf(
        "quarantine: use -quarantine [list], show NAME, release NAME [--force] or discard "
        "NAME.\n");
    code = 2;
  }
  spool_store_close(&store);
  return code;
}

}  // namespace

int quarantine_command(int argc, char** argv) {
  log_event(LOG_DEBUG, "quarantine: starting version %s", kProgramVersion);
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("quarantine: the settings file %s cannot be opened.\n", g_program.ini_path);
    fflush(stdout);
    return 3;
  }
  int code = with_settings(settings, argc, argv);
  fflush(stdout);
  settings_free(&settings);
  return code;
}
