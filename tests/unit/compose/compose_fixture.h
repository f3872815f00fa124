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
    std::ofstream(log_path_, std::ios::trunc);
  }

  char* keep(const std::string& text) {
    storage_.push_back(text);
    return &storage_.back()[0];
  }
  // A line given a value names a form field holding it (the form holds
  // each such pair once); a line without one is fixed text.
  void header(const std::string& text, const std::string& value = "") {
    add_header_line(&settings_, text.c_str(), value.c_str(), line_field(text, value));
  }
  void body(const std::string& text, const std::string& value = "") {
    add_body_variable(&settings_, text.c_str(), value.c_str(), line_field(text, value));
  }
  void variable(const std::string& name, const std::string& value) {
    for (int i = 0; i < form_.count; ++i) {
      if (name == form_.names[i] && value == form_.values[i]) return;
    }
    form_.names[form_.count] = keep(name);
    form_.values[form_.count++] = keep(value);
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

  Settings settings_;
  FormTable form_{};
  Envelope envelope_{};
  Message message_{};

 private:
  bool line_field(const std::string& text, const std::string& value) {
    if (value.empty()) return false;
    variable(text, value);
    return true;
  }

  // Form entries and settings texts set here point into this fixture's
  // storage: hide them from the owners' release functions.
  void forget() {
    form_.count = 0;
    form_.indexed_count = 0;
    settings_.smtp = nullptr;
    settings_.sendall = nullptr;
    settings_.smtp_user = settings_.smtp_password = nullptr;
    settings_.smtp_password_file = settings_.reply_to_variable = nullptr;
    settings_free(&settings_);
    form_free(&form_);
    envelope_free(&envelope_);
    message_free(&message_);
  }

  std::deque<std::string> storage_;
  std::string log_path_;
  LogState saved_log_;
};

inline std::string shown(const char* address) {
  return address != nullptr ? address : "(none)";
}
