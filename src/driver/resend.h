#pragma once
// The "-resend" command: sends what waits in the spool's queue.

// Reads the settings, sends every message of queue/ and prints one line per
// message and a summary. Returns 0 when queue/ is empty at the end, 3
// otherwise (also when there is no usable spool).
int resend_queue();
