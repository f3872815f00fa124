#pragma once
// Dates of the proleptic Gregorian calendar in UTC, counted in days and
// seconds since 1970-01-01, for the names and texts that carry a time (the
// spool's names, the records' times, HTTP dates). Pure functions; may use
// the C library only.

#include <cstddef>

// Days since 1970-01-01 of year `y`, month `m` (1-12), day `d` (1-31).
long long days_from_civil(long long y, int m, int d);

// The date of day `z` since 1970-01-01.
void civil_from_days(long long z, long long* y, int* m, int* d);

// "2026-01-07T13:45:01Z" for `seconds` since 1970 (UTC), into `out`
// (at least 21 bytes).
void utc_time_text(long long seconds, char* out, size_t size);
