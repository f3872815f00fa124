#pragma once
// The archive's part of a CGI run: the record made from the form when the
// judges start, written before the mail is handed over, its result added
// after; a record the archive cannot take waits in the spool (or is lost
// with one error line when there is none), and the outcome line says
// "not archived". Part of the driver: may use every layer below it.

#include "archive/archive.h"
#include "base/request.h"
#include "compose/envelope.h"
#include "config/settings.h"
#include "deliver/webhook.h"
#include "driver/outcome_line.h"
#include "form/form.h"
#include "form/request.h"

struct ArchiveRun {
  bool on;        // `archive` is set
  bool opened;    // the database is open
  bool written;   // the record is in it (before its result)
  bool failed;    // the archive failed once: no second wait for it
  Archive archive;
  ArchiveRecord record;
  char* owned[24];    // the record's own texts
  int owned_count;
  ArchiveFile* files;
  long long deadline_ms;
  char error[kArchiveErrorSize];  // the first failure's reason
};

// Makes the record of the submission from the form and the request (with
// the files' bytes while they are there, with archive_files). Nothing when
// `archive` is not set.
void archive_run_start(ArchiveRun* run, const Settings& settings, const FormTable& form,
                       const FormRequest& upload, const Request& request, const char* id,
                       long long deadline_ms);

// Writes the record before the delivery, with the visitor's address from
// the built envelope.
void archive_run_before_delivery(ArchiveRun* run, const Settings& settings,
                                 const Envelope& envelope);

// Keeps each webhook's result for the record, as a JSON array:
// [{"webhook": 1, "result": "delivered", "status": 200, "ms": 12}, ...].
void archive_run_webhooks(ArchiveRun* run, const WebhookReport& report);

// Adds how the submission ended (`end`) and releases the run's archive;
// sets end->suffixes.not_archived when the record is not in the archive.
// Removes old records at most once an hour with archive_keep_days.
void archive_run_finish(ArchiveRun* run, const Settings& settings, SubmissionEnd* end,
                        bool honeypot);
