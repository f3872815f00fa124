#pragma once
// A list of field names borrowed from elsewhere (the settings' lines, a form),
// kept in the order they were added: what one layer finds and another
// shows, handed over as a list rather than joined into a text. May use
// base's fatal only. Errors: none; running out of memory ends the process
// (fatal_reply).

struct FieldNames {
  const char** items;  // heap array of borrowed names; null while empty
  int count;
  int capacity;
};

// Adds `name` (not copied: it must outlive the list) at the end.
void field_names_add(FieldNames* list, const char* name);

// Releases the array (never the names) and leaves the list empty.
void field_names_free(FieldNames* list);
