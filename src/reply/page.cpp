#include "reply/page.h"

const char credit_link[] = "";
void send_success_reply() {}
void send_failure_reply() {}
void page_printf(const char*, ...) {}
void expand_tokens(char*) {}
void print_escaped_value(const char*) {}
