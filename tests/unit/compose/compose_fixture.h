#pragma once
// Common ground of the compose tests: clean tables, entries owned by the
// test, and the log redirected to a file of the test's own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "base/log.h"
#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "form/form.h"

class ComposeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/quillon-compose-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    log_path_ = path;
    saved_log_ = g_log;
    g_log.path = log_path_.c_str();
    g_log.logging = nullptr;  // debug lines too
    fresh();
  }

  void TearDown() override {
    forget();
    g_log = saved_log_;
    remove(log_path_.c_str());
  }

  // Starts a case over: defaults, empty lists, form, envelope and log.
  void fresh() {
    forget();
    g_settings.no_padding = false;
    g_settings.add_headerline_colon = false;
    g_settings.remove_empty_variables = false;
    g_settings.email_line_ending = "\n";
    std::ofstream(log_path_, std::ios::trunc);
  }

  char* keep(const std::string& text) {
    storage_.push_back(text);
    return &storage_.back()[0];
  }
  void header(const std::string& text, const std::string& value = "") {
    add_header_line(text.c_str(), value.c_str());
  }
  void body(const std::string& text, const std::string& value = "") {
    add_body_variable(text.c_str(), value.c_str());
  }
  void variable(const std::string& name, const std::string& value) {
    g_form.names[g_form.count] = keep(name);
    g_form.values[g_form.count++] = keep(value);
  }

  // How often `text` occurs in the log.
  int in_log(const std::string& text) const {
    std::ifstream in(log_path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string log = all.str();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos;
         at = log.find(text, at + 1)) {
      ++n;
    }
    return n;
  }
  // Whether one log line carries exactly `message`.
  bool logged(const std::string& message) const {
    return in_log(") - " + message + "\n") == 1;
  }

 private:
  // Form entries and settings texts set here point into this fixture's
  // storage: hide them from the owners' reset functions.
  void forget() {
    g_form.count = 0;
    g_settings.smtp = nullptr;
    g_settings.sendall = nullptr;
    g_settings.smtp_user = g_settings.smtp_password = nullptr;
    g_settings.smtp_password_file = g_settings.reply_to_variable = nullptr;
    settings_reset();
    form_reset();
    envelope_reset();
    message_reset();
  }

  std::deque<std::string> storage_;
  std::string log_path_;
  LogState saved_log_;
};

inline std::string shown(const char* address) {
  return address != nullptr ? address : "(none)";
}
