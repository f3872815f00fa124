#pragma once
// The owner's "-archive init [--sql]": prints the SQL that creates the
// database's tables as a script psql can run (so that a DBA may run it
// instead), then, without --sql, runs it on the database the settings
// name. The CGI runs never create or alter a table. Prints to standard
// output only; writes nothing to the log. Driver level.

// `argv` is "-archive init" or "-archive init --sql"; returns the exit
// code: 0 done, 3 failed (why printed as an SQL comment).
int archive_init_command(int argc, char** argv);
