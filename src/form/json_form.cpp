#include "form/json_form.h"

#include <cstring>

#include "base/json.h"

// The reader's reason when its scratch area could not be allocated.
static const char kJsonOutOfMemory[] = "out of memory";

namespace {

struct Delivery {
  FormFieldFn on_field;
  void* context;
  int max_fields;
  JsonFormResult* result;
};

void ignore_member(void*, const JsonMember*) {}

void deliver_member(void* context, const JsonMember* member) {
  Delivery* d = static_cast<Delivery*>(context);
  if (d->result->fields == d->max_fields) {
    ++d->result->dropped;
    return;
  }
  d->on_field(d->context, member->name, member->name_length, member->value, member->value_length);
  ++d->result->fields;
}

}  // namespace

bool json_form_decode(const char* body, size_t length, int max_fields, FormFieldFn on_field,
                      void* context, JsonFormResult* result) {
  *result = JsonFormResult{};
  JsonError error;
  if (!json_read_object(body, length, /*skip_nested=*/false, ignore_member, nullptr, &error)) {
    result->error = error.reason;
    result->error_offset = error.offset;
    result->out_of_memory = strcmp(error.reason, kJsonOutOfMemory) == 0;
    return false;
  }
  Delivery d = {on_field, context, max_fields < 0 ? 0 : max_fields, result};
  // The text was checked: the second reading cannot fail.
  (void)json_read_object(body, length, /*skip_nested=*/false, deliver_member, &d, &error);
  return true;
}
