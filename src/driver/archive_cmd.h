#pragma once
// The owner's -archive commands: list, show, export, erase, purge. They
// print to standard output and write nothing to the log; like -resend,
// they refuse an archive another user owns (root's -wal and -shm files
// would lock the CGI out). Part of the driver.

// Runs `-archive ...` (argv[2] is the command); returns the exit code:
// 0 done, 2 a usage mistake, 3 the archive cannot be used.
int archive_command(int argc, char** argv);
