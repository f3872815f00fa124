// The -archive export command's two formats, written one record at a time.
#include "driver/archive_export.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_text.h"
#include "base/fatal.h"
#include "base/json.h"

namespace {

// The field columns of a CSV export, in first-seen order, with a look-up
// by name and the values of the row being written.
struct Columns {
  char** names;
  int count;
  int capacity;
  TextBuffer** values;  // per column, this row's value(s)
};

void add_column(const char* name, void* context) {
  Columns* columns = static_cast<Columns*>(context);
  if (columns->count == columns->capacity) {
    columns->capacity = columns->capacity == 0 ? 32 : columns->capacity * 2;
    void* grown = realloc(columns->names, sizeof(char*) * static_cast<size_t>(columns->capacity));
    if (grown == nullptr) fatal_reply(kOutOfMemory);
    columns->names = static_cast<char**>(grown);
  }
  columns->names[columns->count] = strdup(name);
  if (columns->names[columns->count] == nullptr) fatal_reply(kOutOfMemory);
  ++columns->count;
}

// A field of the row into its column (found by a search over the sorted
// copy would be faster; the columns of one form are few).
struct RowFields {
  Columns* columns;
  int* order;  // column indexes sorted by name, for bsearch
};

RowFields* g_sort_context;
int compare_columns(const void* a, const void* b) {
  Columns* columns = g_sort_context->columns;
  return strcmp(columns->names[*static_cast<const int*>(a)],
                columns->names[*static_cast<const int*>(b)]);
}

int find_column(const RowFields& fields, const char* name) {
  int low = 0;
  int high = fields.columns->count - 1;
  while (low <= high) {
    int mid = (low + high) / 2;
    int index = fields.order[mid];
    int cmp = strcmp(name, fields.columns->names[index]);
    if (cmp == 0) return index;
    if (cmp < 0) {
      high = mid - 1;
    } else {
      low = mid + 1;
    }
  }
  return -1;
}

void fill_field(const char* name, size_t, const char* value, size_t length, void* context) {
  RowFields* fields = static_cast<RowFields*>(context);
  int index = find_column(*fields, name);
  if (index < 0) return;
  TextBuffer* cell = fields->columns->values[index];
  // A repeated name: its values joined as the mail joins them.
  if (cell->length > 0) text_buffer_append_bytes(cell, ", ", 2);
  text_buffer_append_bytes(cell, value, static_cast<int>(length));
}

const char* const kFixedColumns[] = {
    "id",           "received",      "form",         "language",   "outcome",
    "sender",       "subject",       "client",       "user_agent", "files",
    "verdict",      "spam_verdict",  "spam_reasons", "spam_score", "virus_verdict",
    "webhooks",     "server_reply",  "message_id",   "spool_name", "elapsed_ms"};

void fixed_values(const ArchiveRow& row, const char* out[20]) {
  const char* values[] = {row.id,           row.received,     row.form,         row.language,
                          row.outcome,      row.sender,       row.subject,      row.client,
                          row.user_agent,   row.files,        row.verdict,      row.spam_verdict,
                          row.spam_reasons, row.spam_score,   row.virus_verdict, row.webhooks,
                          row.server_reply, row.message_id,   row.spool_name,   row.elapsed_ms};
  memcpy(out, values, sizeof values);
}

struct CsvExport {
  RowFields fields;
  TextBuffer* line;
};

bool csv_row(const ArchiveRow& row, void* context) {
  CsvExport* out = static_cast<CsvExport*>(context);
  Columns* columns = out->fields.columns;
  for (int i = 0; i < columns->count; ++i) text_buffer_replace(columns->values[i], "%s", "");
  archive_fields_each(row.fields, fill_field, &out->fields);
  text_buffer_replace(out->line, "%s", "");
  for (int i = 0; i < columns->count; ++i) {
    if (i > 0) text_buffer_append_bytes(out->line, ",", 1);
    archive_csv_cell(out->line, columns->values[i]->data, columns->values[i]->length);
  }
  const char* fixed[20];
  fixed_values(row, fixed);
  for (int i = 0; i < 20; ++i) {
    if (columns->count > 0 || i > 0) text_buffer_append_bytes(out->line, ",", 1);
    archive_csv_cell(out->line, fixed[i], strlen(fixed[i]));
  }
  text_buffer_append_bytes(out->line, "\r\n", 2);
  fwrite(out->line->data, 1, static_cast<size_t>(out->line->length), stdout);
  return true;
}

}  // namespace

bool archive_export_csv(Archive* archive, const ArchiveQuery& query) {
  Columns columns = {};
  if (!archive_field_names(archive, query, add_column, &columns)) return false;
  RowFields fields = {&columns, static_cast<int*>(malloc(sizeof(int) * (columns.count + 1)))};
  columns.values = static_cast<TextBuffer**>(malloc(sizeof(TextBuffer*) * (columns.count + 1)));
  if (fields.order == nullptr || columns.values == nullptr) fatal_reply(kOutOfMemory);
  for (int i = 0; i < columns.count; ++i) {
    fields.order[i] = i;
    columns.values[i] = text_buffer_new("");
  }
  g_sort_context = &fields;
  qsort(fields.order, static_cast<size_t>(columns.count), sizeof(int), compare_columns);
  CsvExport out = {fields, text_buffer_new("")};
  for (int i = 0; i < columns.count; ++i) {
    if (i > 0) text_buffer_append_bytes(out.line, ",", 1);
    archive_csv_cell(out.line, columns.names[i], strlen(columns.names[i]));
  }
  for (int i = 0; i < 20; ++i) {
    if (columns.count > 0 || i > 0) text_buffer_append_bytes(out.line, ",", 1);
    archive_csv_cell(out.line, kFixedColumns[i], strlen(kFixedColumns[i]));
  }
  text_buffer_append_bytes(out.line, "\r\n", 2);
  fwrite(out.line->data, 1, static_cast<size_t>(out.line->length), stdout);
  bool ok = archive_query(archive, query, csv_row, &out);
  text_buffer_free(out.line);
  for (int i = 0; i < columns.count; ++i) {
    free(columns.names[i]);
    text_buffer_free(columns.values[i]);
  }
  free(columns.names);
  free(columns.values);
  free(fields.order);
  return ok;
}

namespace {

// One JSON object per line; the JSON columns as they are stored.
bool json_row(const ArchiveRow& row, void* context) {
  TextBuffer* line = static_cast<TextBuffer*>(context);
  text_buffer_replace(line, "{");
  const char* fixed[20];
  fixed_values(row, fixed);
  for (int i = 0; i < 20; ++i) {
    const char* name = kFixedColumns[i];
    text_buffer_append(line, "%s\"%s\":", i > 0 ? "," : "", name);
    bool raw = strcmp(name, "files") == 0 || strcmp(name, "webhooks") == 0 ||
               strcmp(name, "spam_score") == 0 || strcmp(name, "elapsed_ms") == 0;
    if (fixed[i][0] == '\0' && strcmp(name, "id") != 0) {
      text_buffer_append(line, "null");
    } else if (raw) {
      text_buffer_append_bytes(line, fixed[i], static_cast<int>(strlen(fixed[i])));
    } else {
      json_append_string(line, fixed[i], strlen(fixed[i]));
    }
  }
  text_buffer_append(line, ",\"fields\":%s}\n", row.fields);
  fwrite(line->data, 1, static_cast<size_t>(line->length), stdout);
  return true;
}

}  // namespace

bool archive_export_json(Archive* archive, const ArchiveQuery& query) {
  TextBuffer* line = text_buffer_new("");
  bool ok = archive_query(archive, query, json_row, line);
  text_buffer_free(line);
  return ok;
}
