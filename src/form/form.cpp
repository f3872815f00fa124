#include "form/form.h"

FormTable g_form;
void read_form() {}
void form_decode(const char*, size_t) {}
const char* form_value(const char*) { return ""; }
void form_reset() { g_form.count = 0; }
void plus_to_space(char*) {}
void percent_decode(char*) {}
unsigned char hex_pair_value(char, char) { return 0; }
void decode_value(char*) {}
