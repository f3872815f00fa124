#pragma once
// The owner's webhook commands: -check's webhook section (a test request to
// each webhook, its status and time) and `-webhook resend ID` (one
// submission's delivered requests posted again from the spool's sent/).
// Part of the driver: may use every layer below it.

// `argv` is "-webhook resend ID". Exit code 0 when every webhook of the
// submission took it again, 3 otherwise (an unknown ID among them).
int webhook_command(int argc, char** argv);
