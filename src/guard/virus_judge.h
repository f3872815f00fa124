#pragma once
// The virus scan: with `virus_scan` set, every attached file goes to clamd
// (guard/clamd.h) before anything is mailed or spooled for sending. Found:
// refused as `infected`, the message kept for the owner; not scanned (clamd
// down, slow, or over its stream limit): kept in the spool marked
// unscanned, or `scan_unavailable` without a spool, or sent with an error
// line under `virus_unreachable send`. Part of src/guard (its error rule:
// guard/pipeline.h).

#include <cstddef>

#include "guard/clamd.h"
#include "guard/judge.h"

// The judge of the pipeline's virus-scan slot. Needs the files' data
// (input.upload), so the caller holds the body until it ran.
Verdict virus_judge(const GuardInput& input, GuardRun* run);

// Scans one whole message, its header block, an empty line and its body,
// as it is (clamd reads its MIME parts), within virus_timeout.
ClamdResult virus_scan_message(const Settings& settings, const char* header_block,
                               const char* line_ending, const char* body);
