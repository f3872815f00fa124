#include "compose/envelope.h"

Envelope g_envelope;
bool is_address_char(unsigned char) { return false; }
char* scan_address(const char*) { return nullptr; }
int match_header(const char*, const char*, const char*, int, char**) { return 0; }
int classify_header(const char*, const char*) { return 0; }
void envelope_reset() { g_envelope = Envelope(); }
