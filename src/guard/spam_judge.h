#pragma once
// The spam engine as the last judge of the list: the message as it would
// be sent goes to the engine the settings name, and its answer becomes the
// verdict (spam_engine.h). Part of guard: may use the pipeline's types,
// compose's message, the engines, config and base.

#include "guard/judge.h"

// A pass when no engine is set. An engine that cannot be asked: a pass
// with an error line (spam_unreachable send) or a quarantine. With
// spam_tag and rspamd's "add header", a pass that leaves in run->spam_tag
// what the delivery tags the message with.
Verdict spam_engine_judge(const GuardInput& input, GuardRun* run);
