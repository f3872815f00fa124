#pragma once
// -archive export: CSV (RFC 4180, UTF-8, one column per field name seen, in
// first-seen order, then the fixed columns; formula-looking cells
// disarmed) or JSON (one object per line, values exact), to standard
// output, one record at a time. Part of the driver.

#include "archive/archive.h"

// False with the reason in archive->error.
bool archive_export_csv(Archive* archive, const ArchiveQuery& query);
bool archive_export_json(Archive* archive, const ArchiveQuery& query);
