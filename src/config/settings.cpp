#include "config/settings.h"

#include "driver/run.h"

Settings g_settings = {false, false, true, false, false, nullptr, nullptr, nullptr,
                       nullptr, nullptr, "\n", kDefaultSmtpTimeout};
LineList header_lines;
LineList body_lines;
void read_settings() {}
int settings_apply_line(const char*) { return 0; }
void strip_line_end(char*) {}
void add_header_line(const char*, const char*) {}
void add_body_variable(const char*, const char*) {}
void settings_reset() {}
