#pragma once
// The first step of every CGI run: three start-up log lines; run by hand with
// any argument, the help text and the offer of a demonstration settings file.

#include <cstdio>

constexpr int kAnswerAreaSize = 10000;

// Logs the program, log and settings paths. Returns true when the program was
// started without arguments or by a web server and the run goes on; otherwise prints the help,
// may write the demonstration settings file, and returns false (the run ends
// with exit code 0).
bool startup_report_and_help();

// Reads one line from standard input and copies its first CR/LF-delimited
// token into `dest` (kAnswerAreaSize bytes); "" at end of input.
void read_answer_line(char* dest);

// read_answer_line on another stream.
void read_answer_line_from(FILE* in, char* dest);
