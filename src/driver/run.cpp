#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/attachments.h"
#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "deliver/quarantine_copy.h"
#include "deliver/spool_store.h"
#include "driver/archive_run.h"
#include "driver/autoreply_run.h"
#include "driver/captcha_run.h"
#include "driver/environment.h"
#include "driver/form_choice.h"
#include "driver/help.h"
#include "driver/outcome_line.h"
#include "driver/quarantine_run.h"
#include "driver/webhook_run.h"
#include "form/form.h"
#include "form/request.h"
#include "guard/altcha_judge.h"
#include "guard/pipeline.h"
#include "guard/shared_state.h"
#include "platform/os.h"
#include "reply/accept.h"
#include "reply/answer.h"
#include "reply/language.h"
#include "reply/page.h"

void derive_path(const char* path, const char* ext, char* out) {
  // Cutting a long path before the extension keeps ".ini", ".log" and ".rate" apart
  // and away from the program file itself.
  size_t ext_length = strlen(ext);
  snprintf(out, kPathLimit + 1 - ext_length, "%s", path);
  strcat(out, ext);
  // The extension and its NUL overwrite the first ".exe", then the
  // first ".cgi", of the whole path: the name ends right after the extension.
  char* found = strstr(out, ".exe");
  if (found != nullptr) memcpy(found, ext, ext_length + 1);
  found = strstr(out, ".cgi");
  if (found != nullptr) memcpy(found, ext, ext_length + 1);
}

// What one CGI run knows of itself: the request, its submission id (in a
// spool NAME's form), when it started and by when it must be done.
struct CgiRun {
  Request request;
  char id[kSpoolNameSize];
  long long started_ms;   // os_monotonic_ms()
  long long deadline_ms;  // started_ms + run_deadline
};

// The log's view of a settings line naming a form field: its submitted
// value, but never a CAPTCHA token (`captcha` may come later in the file).
static const char* submitted_value(const char* name, void* context) {
  if (captcha_is_token_field(name)) return "(hidden)";
  return form_value(*static_cast<const FormTable*>(context), name);
}

// The finished message handed to the delivery layer, with the
// confirmation to the visitor when there is one.
static DeliveryReport deliver(const Settings& settings, const CgiRun& cgi,
                              const Envelope& envelope, const Message& message,
                              const SubmittedMessage* confirmation) {
  Submission submission = {submitted_message(envelope, message), confirmation};
  // A body carrying files is written from the scratch file in blocks.
  ChunkSource body = message_body_source(&message);
  if (message.file_count > 0) submission.message.body_source = &body;
  DeliveryContext context = delivery_context(settings);
  if (envelope.sender_from_settings) context.fixed_from = envelope.from;
  context.submission_id = cgi.id;
  context.deadline_ms = cgi.deadline_ms;
  DeliveryReport report = deliver_submission(context, submission);
  snprintf(report.mail.message_id, sizeof report.mail.message_id, "%s",
           message.header.message_id);
  return report;
}

// The message after the CAPTCHA let it through, with the confirmation to
// the visitor when this submission may have one.
static DeliveryResult deliver_with_confirmation(const Settings& settings, const CgiRun& cgi,
                                                const FormTable& form, const CaptchaStep& captcha,
                                                const Envelope& envelope, const Message& message) {
  Envelope reply_envelope = {};
  Message reply = {};
  SubmittedMessage confirmation = {};
  // The confirmation's text in the visitor's language: a copy of the
  // settings that shares their texts, with that language's file.
  static char reply_file[kPathAreaSize];
  Settings in_language = settings;
  in_language.autoreply_file =
      const_cast<char*>(autoreply_language_file(settings, cgi.request, reply_file,
                                                sizeof reply_file));
  bool confirm = autoreply_prepare(in_language, form, captcha, envelope.from, &reply_envelope,
                                   &reply, &confirmation);
  DeliveryReport report =
      deliver(settings, cgi, envelope, message, confirm ? &confirmation : nullptr);
  if (confirm) autoreply_settle(settings, confirmation, report.confirmation);
  message_free(&reply);
  envelope_free(&reply_envelope);
  return report.mail;
}

// A submission the decoders or the attachment rules refused: nothing was
// sent, the error line is written; the outcome line, then the answer.
// The chosen form's name for the outcome line, null: none.
static const char* form_suffix() {
  return g_program.form_name[0] != '\0' ? g_program.form_name : nullptr;
}

static void answer_refusal(const Settings& settings, const FormTable& form, Outcome outcome,
                           const CgiRun& cgi) {
  log_refusal_outcome(outcome, OutcomeSuffixes{false, cgi.id, form_suffix(), nullptr, nullptr,
                                               nullptr, false});
  log_event(LOG_DEBUG, "sending failure reply message.");
  send_answer(outcome, &settings, &form, nullptr, false, cgi.request, cgi.id);
}

// A message a judge kept for review: in quarantine/, or, without a spool
// to keep it in, mailed tagged as spam (no confirmation goes to a
// spammer). An infected message is never mailed: without the copy it is
// refused only.
static void keep_for_review(const Settings& settings, const CgiRun& cgi,
                            const Envelope& envelope, Message* message, SubmissionEnd* end,
                            WebhookStep* hooks) {
  if (quarantine_submission(settings, cgi.id, envelope, *message, end->verdict)) {
    // Its webhooks wait with it, posted if the owner releases it.
    webhook_step_hold(hooks, *message);
    if (hooks->words[0] != '\0') end->suffixes.webhooks = hooks->words;
    return;
  }
  if (end->verdict.mark != nullptr && strcmp(end->verdict.mark, "infected") == 0) return;
  quarantine_tag(settings, message, end->verdict);
  long long started = os_monotonic_ms();
  end->result = deliver(settings, cgi, envelope, *message, nullptr).mail;
  end->elapsed_ms = os_monotonic_ms() - started;
  switch (end->result.outcome) {
    case DeliveryOutcome::kSent: end->suffixes.spam = "mailed tagged, not kept"; break;
    case DeliveryOutcome::kKeptInSpool: end->suffixes.spam = "kept in the spool tagged"; break;
    default: end->suffixes.spam = "mailed tagged, not sent"; break;
  }
}

// A message held in the spool's queue until its files are scanned or the
// shared state judged it (kDeferred); without the room to hold it, nothing
// is sent and the files count as not scannable, while one the shared
// state could not judge goes on as passed.
static void hold_for_resend(const Settings& settings, const CgiRun& cgi, const Envelope& envelope,
                            const Message& message, const GuardRun& run, SubmissionEnd* end,
                            WebhookStep* hooks) {
  Verdict& verdict = end->verdict;
  bool state = verdict.mark != nullptr && strcmp(verdict.mark, "shared_state") == 0;
  DeliveryContext context = delivery_context(settings);
  context.submission_id = cgi.id;
  context.hold_unscanned = !state;
  context.hold_for_state = state || run.state_pending;
  context.state_client = run.state_client[0] != '\0' ? run.state_client : nullptr;
  context.state_duplicate = run.state_duplicate[0] != '\0' ? run.state_duplicate : nullptr;
  Submission submission = {submitted_message(envelope, message), nullptr};
  ChunkSource body = message_body_source(&message);
  if (message.file_count > 0) submission.message.body_source = &body;
  end->result = deliver_submission(context, submission).mail;
  if (end->result.outcome == DeliveryOutcome::kKeptInSpool) {
    // Its webhooks wait with it, posted when -resend sends it.
    webhook_step_hold_queued(hooks, message, end->result.spool_name);
    if (hooks->words[0] != '\0') end->suffixes.webhooks = hooks->words;
    return;
  }
  if (state) {
    log_event(LOG_ERROR, "shared_state_unreachable keep: the message cannot be kept in the "
              "spool; it is sent unjudged.");
    end->result = DeliveryResult{};
    end->result.outcome = DeliveryOutcome::kNotConfigured;
    verdict = Verdict{VerdictKind::kPass, Outcome::kSent, nullptr};
  } else {
    verdict = Verdict{VerdictKind::kRefused, Outcome::kScanUnavailable,
                      "not sent, the files could not be scanned for viruses"};
  }
}

// The message and the judges that need its envelope, then the delivery,
// into `end`. The text of the body is in the message once it is built, so
// the body is dropped before the judges and the delivery take their time;
// the files stay in the scratch file until the request is freed.
static void build_and_deliver(const GuardInput& judged, const CgiRun& cgi, const FormTable& shown,
                              FormRequest* form_request, GuardRun* run, SubmissionEnd* end,
                              ArchiveRun* archive, WebhookStep* hooks) {
  const Settings& settings = *judged.settings;
  Envelope envelope = {};
  Message message = {};
  log_event(LOG_DEBUG, "generating email.");
  end->last_check = assemble_message(settings, shown, &envelope, &message, form_request);
  if (settings.virus_scan == nullptr) form_request_drop_body(form_request);
  GuardInput with_envelope = judged;
  with_envelope.envelope = &envelope;
  with_envelope.message = &message;
  if (end->last_check == AssembleStop::kNotConfigured) guard_count_unbuilt(with_envelope);
  if (end->last_check == AssembleStop::kNone) {
    end->verdict = guard_judge_message(with_envelope, run);
    form_request_drop_body(form_request);
    if (end->verdict.kind == VerdictKind::kDeferred) {
      hold_for_resend(settings, cgi, envelope, message, *run, end, hooks);
    } else if (verdict_keeps(end->verdict)) {
      keep_for_review(settings, cgi, envelope, &message, end, hooks);
    }
    if (end->verdict.kind == VerdictKind::kPass) {
      if (run->spam_tagged) quarantine_tag(settings, &message, run->spam_tag);
      if (run->spam_note[0] != '\0') end->suffixes.spam = run->spam_note;
      archive_run_before_delivery(archive, settings, envelope);
      long long started = os_monotonic_ms();
      webhook_keep_subject(hooks, message);
      if (settings.send_mail) {
        end->result = deliver_with_confirmation(settings, cgi, shown, run->captcha, envelope,
                                                message);
      } else {
        end->result = webhook_instead_of_mail(hooks);
      }
      end->elapsed_ms = os_monotonic_ms() - started;
    }
  }
  message_free(&message);
  envelope_free(&envelope);
}

// The judges, the message and its delivery, the outcome line, then the
// answer.
static void submit(const Settings& settings, const FormTable& form, FormRequest* form_request,
                   const CgiRun& cgi) {
  // The judges see the whole form; the message, the confirmation and the
  // page, `shown`.
  FormTable* without_token = captcha_form_without_token(settings, form);
  const FormTable& shown = without_token != nullptr ? *without_token : form;
  autoreply_check_settings(settings);
  GuardInput judged = {&settings, &form, &cgi.request, nullptr, cgi.deadline_ms, form_request,
                       nullptr};
  GuardRun run = {};
  shared_state_start(settings, cgi.deadline_ms);
  ArchiveRun archive;
  archive_run_start(&archive, settings, shown, *form_request, cgi.request, cgi.id,
                    cgi.deadline_ms);
  SubmissionEnd end = {};
  end.suffixes.id = cgi.id;
  end.suffixes.form = form_suffix();
  end.last_check = AssembleStop::kNone;
  end.result.outcome = DeliveryOutcome::kNotConfigured;
  WebhookStep hooks;
  webhook_step_start(&hooks, settings, cgi.id, cgi.deadline_ms, shown, *form_request);
  end.suffixes.show_id = end.suffixes.show_id || hooks.on;
  end.verdict = guard_judge_form(judged, &run);
  if (end.verdict.kind == VerdictKind::kPass) {
    build_and_deliver(judged, cgi, shown, form_request, &run, &end, &archive, &hooks);
  }
  DeliveryOutcome delivered = end.result.outcome;
  guard_settle(judged, &run, delivered == DeliveryOutcome::kSent,
               delivered == DeliveryOutcome::kKeptInSpool, cgi.started_ms);
  shared_state_finish();
  end.suffixes.shared_state_unavailable = shared_state_unavailable();
  // The webhooks go after the answer: the outcome line and the record then
  // tell of them.
  bool hooks_after = hooks.on && settings.send_mail && end.verdict.kind == VerdictKind::kPass &&
                     end.last_check == AssembleStop::kNone;
  if (hooks.fired) end.suffixes.webhooks = hooks.words;
  Outcome outcome = submission_outcome(end);
  if (settings.languages.count > 0) {
    const char* tag = answer_language(settings, cgi.request, outcome,
                                      accept_prefers_json(cgi.request.accept));
    end.suffixes.language = tag != nullptr ? tag : "en";
  }
  if (!hooks_after) {
    if (hooks.fired) archive_run_webhooks(&archive, hooks.report);
    archive_run_finish(&archive, settings, &end, run.caught);
    log_outcome(end);
  }
  if (outcome == Outcome::kMissing) {
    log_event(LOG_DEBUG, "sending missing fields reply message.");
  } else if (outcome == Outcome::kSent) {
    log_event(LOG_DEBUG, "sending success reply message.");
  } else {
    log_event(LOG_DEBUG, "sending failure reply message.");
  }
  bool spooled = delivered == DeliveryOutcome::kKeptInSpool;
  send_answer(outcome, &settings, &shown, &run.missing, spooled, cgi.request, cgi.id);
  if (hooks_after) {
    fflush(stdout);
    webhook_step_fire(&hooks, outcome_info(outcome).word, end.result.message_id);
    end.suffixes.webhooks = hooks.words;
    archive_run_webhooks(&archive, hooks.report);
    archive_run_finish(&archive, settings, &end, run.caught);
    log_outcome(end);
  }
  free(without_token);
  field_names_free(&run.missing);
}

static const char* no_field(const char*, void*) { return nullptr; }

// An OPTIONS request, the preflight of a cross-origin fetch(): answered
// from allowed_origin before any body is read. The settings' own lines
// are the POST's to log, so they are read without them; the preflight
// logs one line. False (nothing written) when the origin is not allowed.
static bool answered_preflight(const Request& request) {
  Settings settings;
  g_log.busy = true;
  bool read = settings_read(g_program.ini_path, FieldLookup{no_field, nullptr}, &settings);
  g_log.busy = false;
  log_release_lines();
  bool answered = read && send_preflight_answer(settings, request);
  if (answered) {
    log_event(LOG_DEBUG, "preflight from origin {%s}: allowed, nothing sent.",
              log_quote(0, request.origin));
    log_event(LOG_DEBUG, "ended.");
    fflush(stdout);
  }
  settings_free(&settings);
  return answered;
}

// A GET with the query string "altcha": a fresh proof-of-work challenge
// when the settings choose `captcha altcha`, with the CORS lines of
// allowed_origin. Logs error lines only: a page view adds none of the
// run's start-up lines, whatever the logging level. False (nothing
// written) when the settings do not choose it (the caller answers 405).
static bool answered_challenge(const Request& request) {
  Settings settings;
  g_log.busy = true;
  bool read = settings_read(g_program.ini_path, FieldLookup{no_field, nullptr}, &settings);
  g_log.busy = false;
  bool chosen = read && altcha_chosen(settings);
  if (!chosen) {
    log_release_lines();
  } else {
    log_release_error_lines();
    TextBuffer* body = text_buffer_new("");
    bool made = altcha_challenge_answer(settings, body);
    const char* origin = cors_origin(settings, request.origin);
    if (origin != nullptr) printf("Access-Control-Allow-Origin: %s\nVary: Origin\n", origin);
    printf("Status: %s\nContent-Type: application/json\nCache-Control: no-store\n\n%s",
           made ? "200 OK" : "500 Internal Server Error",
           made ? body->data : "{\"error\":\"no challenge could be made\"}");
    fflush(stdout);
    text_buffer_free(body);
  }
  settings_free(&settings);
  return chosen;
}

// What an end for want of memory answers this request: the JSON answer
// is made now, while memory is there, and again once the settings are read
// (their allowed_origin may add CORS header lines).
static void prepare_fatal_answer(const Settings* settings, const CgiRun& cgi) {
  static TextBuffer* prepared = nullptr;
  g_fatal.submission = true;
  if (!accept_prefers_json(cgi.request.accept)) return;
  TextBuffer* answer = text_buffer_new("");
  append_whole_json_answer(answer, Outcome::kServerError, settings, cgi.request, cgi.id);
  g_fatal.json = answer->data;
  text_buffer_free(prepared);
  prepared = answer;
}

// A POST: the body, the settings, then the judges and the delivery, and
// the answer.
static void answer_post(CgiRun* cgi) {
  // The keys needed before the form: how a URL-encoded form is decoded,
  // and the run's time, which the body's reading already counts against.
  EarlySettings early = settings_read_early(g_program.ini_path);
  // A run_deadline the settings give counts from the run's start, the
  // body included; without one, the body keeps its own limit (an upload's
  // 120 s) and the default counts from when the body has arrived, so that
  // a stored set-up's slow uploads are not cut short.
  cgi->deadline_ms = cgi->started_ms + early.run_deadline * 1000LL;
  // One id for the whole submission, made before anything judges it: the
  // JSON answers carry it and it names the spool copy.
  spool_new_name(cgi->id, sizeof cgi->id);
  // The form comes before the settings: the settings' log lines show the
  // submitted values of the fields they name.
  // The table (36 KB) lies in the program's zero pages, so a run neither
  // clears it nor touches more of it than its entries fill; form_free
  // leaves it empty again for a next call.
  prepare_fatal_answer(nullptr, *cgi);
  static FormTable form_storage;
  FormTable& form = form_storage;
  FormRequest form_request = {};
  if (early.classic_form_decoding) form_request.decoding = FormDecoding::kClassic;
  if (early.run_deadline_set) form_request.deadline_ms = cgi->deadline_ms;
  log_event(LOG_DEBUG, "getting form info.");
  read_form(cgi->request, &form, &form_request);
  if (!early.run_deadline_set) cgi->deadline_ms = os_monotonic_ms() + early.run_deadline * 1000LL;
  log_event(LOG_DEBUG, "loading config file.");
  Settings settings;
  bool read = settings_read(g_program.ini_path, FieldLookup{submitted_value, &form}, &settings);
  log_release_lines();
  if (!read) {
    // A script gets its answer in JSON; the page is fatal_reply's.
    if (!accept_prefers_json(cgi->request.accept)) fatal_reply("The ini file could not be opened.");
    log_event(LOG_ERROR, "The ini file could not be opened.");
    send_answer(Outcome::kNotConfigured, nullptr, &form, nullptr, false, cgi->request, cgi->id);
  } else {
    prepare_fatal_answer(&settings, *cgi);
    Outcome refusal = form_request.outcome;
    if (form_request.refused || !attachments_accept(settings, form_request, &form, &refusal)) {
      answer_refusal(settings, form, refusal, *cgi);
    } else {
      submit(settings, form, &form_request, *cgi);
    }
  }
  log_event(LOG_DEBUG, "ended.");
  fflush(stdout);
  // Freed last: the log follows the settings' logging level to the end.
  settings_free(&settings);
  form_free(&form);
  form_request_free(&form_request);
}

// A path that names no form: one error line and the 404 answer, before
// any settings or body are read.
static void answer_unknown_form(const Request& request) {
  log_release_lines();
  log_event(LOG_ERROR, "the path {%s} names no form of this install: nothing sent.",
            log_quote(0, request.path_info));
  if (accept_prefers_json(request.accept)) {
    send_answer(Outcome::kUnknownForm, nullptr, nullptr, nullptr, false, request, nullptr);
  } else {
    send_unknown_form_reply();
  }
  log_event(LOG_DEBUG, "ended.");
  fflush(stdout);
}

// A CGI run, its log's lines held until the settings name the log's
// bound (the preflight's and the POST's settings, when they are read).
static void answer_request() {
  CgiRun cgi = {};
  cgi.started_ms = os_monotonic_ms();
  // A web server that gives up on a run (a client too slow with its body)
  // sends SIGTERM: the run still logs how it ended.
  os_catch_termination();
  log_event(LOG_DEBUG, "starting version %s", kProgramVersion);
  if (!startup_report_and_help()) return;
  // Only a POST carries a form; any other request would mail empty values.
  cgi.request = request_from_environment();
  if (choose_request_form(cgi.request) == FormChoice::kUnknown) {
    answer_unknown_form(cgi.request);
    return;
  }
  const char* method = cgi.request.method;
  if (method != nullptr && strcmp(method, "OPTIONS") == 0 && answered_preflight(cgi.request)) {
    return;
  }
  const char* query = cgi.request.query_string;
  if (method != nullptr && strcmp(method, "GET") == 0 && query != nullptr &&
      strcmp(query, "altcha") == 0 && answered_challenge(cgi.request)) {
    return;
  }
  if (method != nullptr && strcmp(method, "POST") != 0) {
    // No settings are read: the default bound holds.
    log_release_lines();
    log_event(LOG_ERROR, "request method %s is not POST: nothing sent.", log_quote(0, method));
    send_method_not_allowed_reply();
    log_event(LOG_DEBUG, "ended.");
    fflush(stdout);
    return;
  }
  answer_post(&cgi);
}

int run_cgi() {
  log_hold_lines();
  answer_request();
  log_release_lines();
  return 0;
}
