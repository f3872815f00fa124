#pragma once
// The "-quarantine" command: the owner's review of the messages the spam
// judges kept. `-quarantine [list]`, `show NAME`, `release NAME [--force]`
// (sent exactly once through the spool's queue, as -resend sends),
// `discard NAME`; with spam_learn the engine learns from each. Driver
// level: may use every layer below it.

// Returns 0 when it did what was asked, 3 otherwise (2 for words it does
// not know).
int quarantine_command(int argc, char** argv);
