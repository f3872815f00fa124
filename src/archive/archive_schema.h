#pragma once
// The archive's tables, as SQL. Made once, by the first run, with the
// schema version row; every column another feature records (the form, the
// language, the spam and virus verdicts, the webhooks' results) is there
// from the start, so that no later run alters a table. Pure text; may use
// nothing.

// The version the tables below are.
constexpr int kArchiveSchemaVersion = 1;

// The statements that make the tables (one script, in a transaction).
extern const char kArchiveSchemaSql[];

