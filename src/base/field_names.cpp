#include "base/field_names.h"

#include <cstdlib>

#include "base/fatal.h"

void field_names_add(FieldNames* list, const char* name) {
  if (list->count == list->capacity) {
    int capacity = list->capacity == 0 ? 8 : list->capacity * 2;
    void* grown = realloc(list->items, sizeof(const char*) * static_cast<size_t>(capacity));
    if (grown == nullptr) fatal_reply(kOutOfMemory);
    list->items = static_cast<const char**>(grown);
    list->capacity = capacity;
  }
  list->items[list->count++] = name;
}

void field_names_free(FieldNames* list) {
  free(list->items);
  *list = FieldNames{};
}
