#include "config/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/program.h"
#include "config/mistake.h"
#include "form/form.h"

namespace {

Settings test_settings;
FormTable test_form{};

const char* form_lookup(const char* name, void*) { return form_value(test_form, name); }
const FieldLookup kLookup = {form_lookup, nullptr};

// What an entry stands for: the submitted value of the field it names.
std::string entry_value(const LineEntry& entry) {
  return entry.variable ? form_value(test_form, entry.text) : "";
}

// The settings that differ from the defaults, in a fixed order, so a test
// also notices a line that changed something it should not have.
std::string changed_settings() {
  std::string out;
  auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
  auto add_text = [&add](const char* name, const char* value) {
    if (value != nullptr) add(std::string(name) + "={" + value + "}");
  };
  if (test_settings.no_padding) add("no_padding");
  if (test_settings.add_headerline_colon) add("colon");
  if (!test_settings.add_zolvar_link) add("no_credit");
  if (test_settings.use_helo) add("helo");
  if (test_settings.remove_empty_variables) add("remove_empty");
  add_text("smtp", test_settings.smtp);
  add_text("logging", test_settings.logging);
  if (strcmp(test_settings.email_line_ending, "\n") != 0) {
    add(strcmp(test_settings.email_line_ending, "\r\n") == 0 ? "crlf" : "bad_ending");
  }
  add_text("sendall", test_settings.sendall);
  add_text("success", test_settings.success_html_page);
  add_text("failure", test_settings.failure_html_page);
  if (test_settings.smtp_timeout != kDefaultSmtpTimeout) {
    add("timeout=" + std::to_string(test_settings.smtp_timeout));
  }
  if (test_settings.smtp_security != kSecurityNone) {
    add(test_settings.smtp_security == kSecurityTls ? "tls" : "starttls");
  }
  add_text("user", test_settings.smtp_user);
  add_text("password", test_settings.smtp_password);
  add_text("password_file", test_settings.smtp_password_file);
  add_text("ca_file", test_settings.smtp_ca_file);
  if (test_settings.standard_headers) add("standard_headers");
  add_text("reply_to", test_settings.reply_to_variable);
  // abuse guards
  auto add_list = [&add_text](const char* name, const SettingList& list) {
    for (int i = 0; i < list.count; ++i) add_text(name, list.items[i]);
  };
  add_list("recipient", test_settings.allowed_recipients);
  add_list("honeypot", test_settings.honeypot_variables);
  add_list("required", test_settings.required_variables);
  add_list("origin", test_settings.allowed_origins);
  add_text("missing", test_settings.missing_html_page);
  if (test_settings.rate_limit_minutes != 0) {
    add("rate=" + std::to_string(test_settings.rate_limit_count) + "/" +
        std::to_string(test_settings.rate_limit_minutes));
  }
  add_text("spool", test_settings.spool_folder);
  if (!test_settings.spool_keep_sent) add("spool_delete_sent");
  if (test_settings.http_status) add("http_status");
  add_text("success_redirect", test_settings.success_redirect);
  add_text("failure_redirect", test_settings.failure_redirect);
  add_text("missing_redirect", test_settings.missing_redirect);
  // bounds on the log and the queue
  if (test_settings.log_max_kb != 10240) add("log_kb=" + std::to_string(test_settings.log_max_kb));
  if (test_settings.spool_max_mb != 100) {
    add("spool_mb=" + std::to_string(test_settings.spool_max_mb));
  }
  if (test_settings.spool_keep_sent_days != 0) {
    add("keep_days=" + std::to_string(test_settings.spool_keep_sent_days));
  }
  if (test_settings.smtp_deadline != kDefaultSmtpDeadline) {
    add("deadline=" + std::to_string(test_settings.smtp_deadline));
  }
  if (test_settings.run_deadline != kDefaultRunDeadline) {
    add("run=" + std::to_string(test_settings.run_deadline));
  }
  if (test_settings.classic_form_decoding) add("classic_decoding");
  add_text("virus", test_settings.virus_scan);
  const Settings defaults;
  if (test_settings.virus_timeout != defaults.virus_timeout) {
    add("virus_s=" + std::to_string(test_settings.virus_timeout));
  }
  if (test_settings.virus_max_kb != defaults.virus_max_kb) {
    add("virus_kb=" + std::to_string(test_settings.virus_max_kb));
  }
  if (test_settings.virus_unreachable_send) add("virus_send");
  const LineList& headers = test_settings.header_lines;
  for (int i = 0; i < headers.count; ++i) {
    add_text("header", (std::string(headers.entries[i].text) + "|" +
                        entry_value(headers.entries[i])).c_str());
  }
  const LineList& bodies = test_settings.body_lines;
  for (int i = 0; i < bodies.count; ++i) {
    add_text("body", (std::string(bodies.entries[i].text) + "|" +
                      entry_value(bodies.entries[i])).c_str());
  }
  return out;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_free(&test_settings);
    form_free(&test_form);
    char pattern[] = "/tmp/quillon-settings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_path_ = dir_ + "/test.log";
    g_log.path = log_path_.c_str();
  }
  void TearDown() override {
    settings_free(&test_settings);
    form_free(&test_form);
    g_log.path = "";
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  // The message part of every log line written so far.
  std::vector<std::string> log_messages() {
    std::ifstream in(log_path_, std::ios::binary);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
      size_t mark = line.find(") - ");
      out.push_back(mark == std::string::npos ? line : line.substr(mark + 4));
    }
    return out;
  }

  std::string write_file(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Reads `content` as the settings file; returns the settings it changed.
  std::string read_file(const std::string& content) {
    settings_free(&test_settings);
    std::string path = write_file("quillon.ini", content);
    snprintf(g_program.ini_path, kPathAreaSize, "%s", path.c_str());
    EXPECT_TRUE(settings_read(g_program.ini_path, kLookup, &test_settings));
    return changed_settings();
  }

  std::string dir_;
  std::string log_path_;
};

// Lines are separated by '\n' and applied one by one.
int apply_lines(const std::string& lines) {
  int used = 0;
  std::stringstream in(lines);
  std::string line;
  while (std::getline(in, line)) used += settings_apply_line(&test_settings, line.c_str(), kLookup);
  return used;
}

TEST_F(SettingsTest, KeywordTestsAndWhatTheyChange) {
  form_decode(&test_form, "Name:=Joe&Email:=a@b&Name:=Second", 33);
  const struct {
    const char* lines;
    int used;
    const char* changed;
  } cases[] = {
      {"no_padding", 1, "no_padding"},
      {"no_padding false", 1, "no_padding"},
      {"add_headerline_colon", 1, "colon"},
      {"add_zolvar_link false", 1, "no_credit"},
      {"add_zolvar_link false ", 0, ""},
      {"add_zolvar_link FALSE", 0, ""},
      {"add_zolvar_link true", 0, ""},
      {"add_zolvar_linkfalse", 0, ""},
      {"hello_method HELO", 1, "helo"},
      {"hello_method HELOS", 1, "helo"},
      {"hello_method EHLO", 1, ""},
      {"hello_method helo", 1, ""},
      {"hello_method ", 1, ""},
      {"hello_method", 0, ""},
      {"hello_method HELO\nhello_method EHLO", 2, ""},
      {"remove_empty_variable", 1, "remove_empty"},
      {"remove_empty_variables", 1, "remove_empty"},
      {"smtp 10.0.0.50", 1, "smtp={10.0.0.50}"},
      {"smtp 10.0.0.50 ", 1, "smtp={10.0.0.50 }"},
      {" smtp 10.0.0.50", 0, ""},
      {"SMTP 10.0.0.50", 0, ""},
      {"smtp", 0, ""},
      {"smtp first\nsmtp second", 2, "smtp={second}"},
      {"logging errors", 1, "logging={errors}"},
      {"email_CR=LFCR", 1, "crlf"},
      {"email_CR LFCR", 1, "crlf"},
      {"email_CR=LFCR\nemail_CR=CR", 2, ""},
      {"email_CR=CRLF", 1, ""},
      {"email_CR=lfcr", 0, ""},
      {"email_CR", 0, ""},
      {"email_CR=", 0, ""},
      {"email_CRLFCR", 0, ""},  // the skipped character is the 'L'
      {"email_cr=LFCR", 0, ""},
      {"sendall true", 1, "sendall={true}"},
      {"success_html_page ok.html", 1, "success={ok.html}"},
      {"failure_html_page bad.html", 1, "failure={bad.html}"},
      {"headerline Subject: Hi", 1, "header={Subject: Hi|}"},
      {"headerline ", 1, "header={|}"},
      {"headerline", 0, ""},
      {"headerline A\nheaderline B", 2, "header={A|} header={B|}"},
      {"use_submitted_variable_for_headerline Email:", 1, "header={Email:|a@b}"},
      {"use_submitted_variable_for_headerline Missing", 1, "header={Missing|}"},
      {"bodycontent_line Thanks", 1, "body={Thanks|}"},
      {"use_submitted_variable_for_bodycontent Name:", 1, "body={Name:|Joe}"},
      {"use_submitted_variable_for_bodycontent name:", 1, "body={name:|}"},
      {"add_zolvar_link false\nadd_zolvar_link true", 1, "no_credit"},
      {"smtp_timeout 30", 1, "timeout=30"},
      {"smtp_timeout 3600", 1, "timeout=3600"},
      {"smtp_timeout 0007", 1, "timeout=7"},
      {"smtp_timeout 0", 0, ""},
      {"smtp_timeout 3601", 0, ""},
      {"smtp_timeout -5", 0, ""},
      {"smtp_timeout +5", 0, ""},
      {"smtp_timeout 30s", 0, ""},
      {"smtp_timeout  30", 0, ""},
      {"smtp_timeout ", 0, ""},
      {"smtp_timeout 99999999999999999999999", 0, ""},
      {"smtp_timeout 30\nsmtp_timeout x", 1, "timeout=30"},
      {"smtp_timeout30", 0, ""},
      {"", 0, ""},
      {"# smtp 1.2.3.4", 0, ""},
      // Delivery through mail providers.
      {"smtp_security starttls", 1, "starttls"},
      {"smtp_security tls", 1, "tls"},
      {"smtp_security tls\nsmtp_security none", 2, ""},
      {"smtp_security STARTTLS", 0, ""},
      {"smtp_security tls\nsmtp_security ssl", 1, "tls"},
      {"smtp_security tls ", 0, ""},
      {"form_decoding classic", 1, "classic_decoding"},
      {"form_decoding classic\nform_decoding standard", 2, ""},
      {"form_decoding classic\nform_decoding Standard", 1, "classic_decoding"},
      {"smtp_user ann@example.com", 1, "user={ann@example.com}"},
      {"smtp_password  p w ", 1, "password={ p w }"},
      {"smtp_password_file /etc/pw", 1, "password_file={/etc/pw}"},
      {"smtp_ca_file ca.pem", 1, "ca_file={ca.pem}"},
      {"standard_headers true", 1, "standard_headers"},
      {"standard_headers true\nstandard_headers false", 2, ""},
      {"standard_headers yes", 0, ""},
      {"use_submitted_variable_for_reply_to Email:", 1, "reply_to={Email:}"},
      // abuse guards
      {"allowed_recipient owner@example.com", 1, "recipient={owner@example.com}"},
      {"allowed_recipient @Example.COM\nallowed_recipient a+b@x.org",
       2, "recipient={@Example.COM} recipient={a+b@x.org}"},
      {"allowed_recipient a@x\nallowed_recipient a@x", 2, "recipient={a@x}"},
      {"allowed_recipient o'brien@x.test", 1, "recipient={o'brien@x.test}"},
      {"allowed_recipient owner@example.com ", 0, ""},
      {"allowed_recipient example.com", 0, ""},
      {"allowed_recipient a@", 0, ""},
      {"allowed_recipient a@b@c", 0, ""},
      {"allowed_recipient <a@b>", 0, ""},
      {"allowed_recipient ", 0, ""},
      {"Allowed_recipient a@b", 0, ""},
      {"honeypot_variable website", 1, "honeypot={website}"},
      {"honeypot_variable a b ", 1, "honeypot={a b }"},
      {"honeypot_variable ", 0, ""},
      {"required_variable Name:\nrequired_variable Email:",
       2, "required={Name:} required={Email:}"},
      {"required_variable ", 0, ""},
      {"missing_html_page missing.html", 1, "missing={missing.html}"},
      {"allowed_origin www.example.com", 1, "origin={www.example.com}"},
      {"allowed_origin [::1]", 1, "origin={[::1]}"},
      {"allowed_origin https://www.example.com", 1, "origin={https://www.example.com}"},
      {"allowed_origin www.example.com:8080", 1, "origin={www.example.com:8080}"},
      {"allowed_origin http://[::1]:8080", 1, "origin={http://[::1]:8080}"},
      // unreadable: kept as an entry that matches nothing, so the guard stays on
      {"allowed_origin ", 0, "origin={}"},
      {"allowed_origin https://www.example.com/form", 0, "origin={https://www.example.com/form}"},
      {"allowed_origin www.example.com:0", 0, "origin={www.example.com:0}"},
      {"rate_limit 5/10", 1, "rate=5/10"},
      {"rate_limit 10000/10080", 1, "rate=10000/10080"},
      {"rate_limit 5/10\nrate_limit 3/1", 2, "rate=3/1"},
      {"rate_limit 5/10\nrate_limit 5", 1, "rate=5/10"},
      {"rate_limit 0/10", 0, ""},
      {"rate_limit 5/0", 0, ""},
      {"rate_limit 10001/10", 0, ""},
      {"rate_limit 5/10081", 0, ""},
      {"rate_limit 5/10 ", 0, ""},
      {"rate_limit 5 / 10", 0, ""},
      {"rate_limit /10", 0, ""},
      {"rate_limit 99999999999999999999/1", 0, ""},
      // spool
      {"spool_folder /var/spool/quillon", 1, "spool={/var/spool/quillon}"},
      {"spool_folder spool dir ", 1, "spool={spool dir }"},
      {"spool_folder ", 0, ""},
      {"spool_folder a\nspool_folder ", 1, "spool={a}"},
      // answers
      {"http_status true", 1, "http_status"},
      {"http_status true\nhttp_status 1", 1, "http_status"},
      {"success_redirect https://www.example.com/thanks", 1,
       "success_redirect={https://www.example.com/thanks}"},
      {"failure_redirect /sorry.html", 1, "failure_redirect={/sorry.html}"},
      {"missing_redirect HTTP://x/m", 1, "missing_redirect={HTTP://x/m}"},
      {"success_redirect /a\nsuccess_redirect //evil.example.org/", 1, "success_redirect={/a}"},
      {"success_redirect thanks.html", 0, ""},
      {"success_redirect javascript:alert(1)", 0, ""},
      {"success_redirect /a b", 0, ""},
      {"success_redirect https://", 0, ""},
      {"spool_folder a\nspool_folder b", 2, "spool={b}"},
      {"spool_keep_sent false", 1, "spool_delete_sent"},
      {"spool_keep_sent false\nspool_keep_sent true", 2, ""},
      {"spool_keep_sent False", 0, ""},
      {"spool_keep_sent false ", 0, ""},
      {"spool_keep_sent", 0, ""},
      // bounds on the log and the queue
      {"log_max_kb 0", 1, "log_kb=0"},
      {"log_max_kb 4194305", 0, ""},
      {"spool_max_mb 5", 1, "spool_mb=5"},
      {"spool_max_mb 5 MB", 0, ""},
      {"spool_keep_sent 30", 1, "keep_days=30"},
      {"spool_keep_sent 30\nspool_keep_sent true", 2, ""},
      {"spool_keep_sent 0", 0, ""},
      {"spool_keep_sent 36501", 0, ""},
      {"smtp_deadline 40", 1, "deadline=40"},
      {"smtp_deadline 0", 0, ""},
      {"smtp_deadline 3601", 0, ""},
      {"smtp_deadline 9x", 0, ""},
      {"run_deadline 60", 1, "run=60"},
      {"run_deadline 0", 0, ""},
      // the virus scan
      {"virus_scan clamd 127.0.0.1:3310", 1, "virus={127.0.0.1:3310}"},
      {"virus_scan clamd /run/clamav/clamd.ctl", 1, "virus={/run/clamav/clamd.ctl}"},
      {"virus_scan clamd", 0, ""},
      {"virus_scan clamd localhost", 0, ""},
      {"virus_scan other 127.0.0.1:3310", 0, ""},
      {"virus_timeout 3", 1, "virus_s=3"},
      {"virus_timeout 0", 0, ""},
      {"virus_max_kb 1024", 1, "virus_kb=1024"},
      {"virus_max_kb 4194305", 0, ""},
      {"virus_unreachable send", 1, "virus_send"},
      {"virus_unreachable keep", 1, ""},
      {"virus_unreachable refuse", 0, ""},
  };
  for (const auto& c : cases) {
    settings_free(&test_settings);
    EXPECT_EQ(apply_lines(c.lines), c.used) << c.lines;
    EXPECT_EQ(changed_settings(), c.changed) << c.lines;
  }
}

TEST_F(SettingsTest, LogLinesFollowTheLevelAsItIsRead) {
  apply_lines(
      "headerline To: a@b\n"
      "no match here\n"
      "use_submitted_variable_for_bodycontent Name:\n"
      "email_CR=lfcr\n"
      "logging errors\n"
      "bodycontent_line hidden\n"
      "smtp_timeout soon\n"
      "smtp_security ssl\n"
      "standard_headers on\n"
      "spool_keep_sent no\n"
      "log_max_kb -1\n"
      "logging debug\n"
      "headerline ");
  const std::vector<std::string> expected = {
      "add_header_line(To: a@b,)",
      "line used from ini file {headerline To: a@b}",
      "add_body_variable(Name:,}",
      "line used from ini file {use_submitted_variable_for_bodycontent Name:}",
      "smtp_timeout {soon} is not a whole number of seconds from 1 to 3600; keeping 60.",
      "smtp_security {ssl} is not none, starttls or tls; keeping none.",
      "standard_headers {on} is not true or false; keeping false.",
      "spool_keep_sent {no} is neither true, false nor a number of days from 1 to 36500; keeping true.",
      "log_max_kb {-1} is not a whole number from 0 to 4194304; keeping 10240.",
      "line used from ini file {logging debug}",
      "add_header_line(,)",
      "line used from ini file {headerline }",
  };
  EXPECT_EQ(log_messages(), expected);
  EXPECT_STREQ(g_log.logging, "debug");
}

TEST_F(SettingsTest, PasswordStaysOutOfTheLog) {
  apply_lines("smtp_password s3cret\nsmtp_password_file /run/pw");
  const std::vector<std::string> expected = {
      "line used from ini file {smtp_password (hidden)}",
      "line used from ini file {smtp_password_file /run/pw}",
  };
  EXPECT_EQ(log_messages(), expected);
  EXPECT_STREQ(test_settings.smtp_password, "s3cret");
}

// A database address with a password is refused, and never logged.
TEST_F(SettingsTest, SharedStateWithAPasswordIsRefusedUnlogged) {
  apply_lines("shared_state postgresql://cgi:s3cret@db/forms");
  std::vector<std::string> log = log_messages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].find("s3cret"), std::string::npos) << log[0];
  EXPECT_EQ(log[0].rfind("shared_state is refused: {the address holds a password", 0), 0u);
  EXPECT_EQ(test_settings.shared_state, nullptr);
}

// A line takes effect through one keyword at most only while no keyword
// begins with another.
TEST(SettingsKeywords, NoKeywordBeginsWithAnother) {
  for (int i = 0; settings_keyword(i) != nullptr; ++i) {
    for (int j = 0; settings_keyword(j) != nullptr; ++j) {
      const char* a = settings_keyword(i);
      const char* b = settings_keyword(j);
      if (i == j) continue;
      EXPECT_NE(strncmp(a, b, strlen(b)), 0) << a << " begins with " << b;
    }
  }
}

TEST_F(SettingsTest, ListsStopAtTheirCapacity) {
  for (int i = 0; i < kMaxSettingsEntries + 5; ++i) {
    std::string n = std::to_string(i);
    add_header_line(&test_settings, ("h" + n).c_str(), "", false);
    add_body_variable(&test_settings, ("b" + n).c_str(), "v", true);
  }
  add_header_line(&test_settings, nullptr, "x", false);
  add_body_variable(&test_settings, "x", nullptr, true);
  ASSERT_EQ(test_settings.header_lines.count, kMaxSettingsEntries);
  ASSERT_EQ(test_settings.body_lines.count, kMaxSettingsEntries);
  EXPECT_STREQ(test_settings.header_lines.entries[999].text, "h999");
  EXPECT_TRUE(test_settings.body_lines.entries[999].variable);
  int refused = 0;
  for (const std::string& message : log_messages()) {
    if (message.find("list is full") != std::string::npos) ++refused;
  }
  EXPECT_EQ(refused, 10);
}

TEST_F(SettingsTest, InvalidGuardValuesLogOneLineNamingKeyAndValue) {
  const char* const lines[] = {
      "allowed_recipient example.com", "honeypot_variable ", "required_variable ",
      "allowed_origin http://x/", "rate_limit 5", "http_status yes",
      "failure_redirect sorry.html",
      "attachments_max_kb 20481", "attachments_max_files 0", "attachment_type pdf",
      "attachment_type .EXE", "form_decoding double", "attachment_type .html",
      "attachment_type .svg", "attachment_type .iso", "success_redirect /\\evil.example",
      "altcha_algorithm sha-256", "altcha_cost 0", "altcha_version 3",
      "shared_state_timeout 0", "shared_state_unreachable drop",
      "spam_max_links many", "spam_same_value yes", "spam_engine clamd 127.0.0.1:3310",
      "spam_timeout 0", "spam_reject_score -3", "spam_unreachable refuse",
      "webhook ftp://example.com/in", "webhook https://example.com/in yaml",
      "webhook https:///in", "webhook_timeout 0", "webhook_retry_days 31", "send_mail no",
      "webhook_allow_http yes",
  };
  for (const char* line : lines) {
    std::ofstream(log_path_, std::ios::trunc);
    apply_lines(std::string("logging errors\n") + line);
    std::string key(line, strchr(line, ' '));
    std::string value = strchr(line, ' ') + 1;
    std::vector<std::string> log = log_messages();
    ASSERT_EQ(log.size(), 1u) << line;
    EXPECT_EQ(log[0].rfind(key + " {" + value + "}", 0), 0u) << log[0];
  }
}

TEST_F(SettingsTest, GuardListsStopAtTheirCapacity) {
  for (int i = 0; i < kMaxSettingsEntries + 1; ++i) {
    settings_apply_line(&test_settings, ("allowed_recipient a" + std::to_string(i) + "@x").c_str(),
                        kLookup);
  }
  EXPECT_EQ(test_settings.allowed_recipients.count, kMaxSettingsEntries);
  EXPECT_STREQ(test_settings.allowed_recipients.items[999], "a999@x");
  std::vector<std::string> log = log_messages();
  EXPECT_EQ(log.back(), "allowed_recipient {a1000@x} was not added: at most 1000 such lines are read.");
}

TEST_F(SettingsTest, StripLineEndCutsAtTheFirstBreak) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\r\n", "a"}, {"a\n", "a"}, {"a\rb\nc", "a"}, {"a\nb\rc", "a"},
      {"\r", ""},     {"abc", "abc"}, {"", ""},
  };
  for (const auto& c : cases) {
    std::string line = c.first;
    strip_line_end(&line[0]);
    EXPECT_STREQ(line.c_str(), c.second) << c.first;
  }
}

TEST_F(SettingsTest, ReadsFilesWhateverTheirLineBreaks) {
  const std::string lf =
      "smtp mail.example.com:2525\nemail_CR=LFCR\nheaderline Subject: S\n"
      "bodycontent_line  two blanks \n\nsendall true";
  const std::string expected =
      "smtp={mail.example.com:2525} crlf sendall={true} header={Subject: S|} "
      "body={ two blanks |}";
  EXPECT_EQ(read_file(lf), expected);
  EXPECT_EQ(read_file(lf + "\n"), expected);
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(read_file(crlf), expected);
  EXPECT_EQ(read_file(crlf + "\r\n"), expected);
  EXPECT_EQ(read_file(""), "");
}

TEST_F(SettingsTest, LongLinesArriveInPieces) {
  // The first piece holds 63997 characters; the rest is read as a line of
  // its own and takes effect through its own keyword.
  const size_t piece = kSettingsLineArea - 3;
  std::string first = "bodycontent_line " + std::string(piece - 17, 'a');
  std::string file = first + "smtp 10.0.0.1\n" + "headerline " + std::string(200000, 'h');
  EXPECT_EQ(read_file(file).substr(0, 40), "smtp={10.0.0.1} header={" + std::string(16, 'h'));
  ASSERT_EQ(test_settings.body_lines.count, 1);
  EXPECT_EQ(strlen(test_settings.body_lines.entries[0].text), piece - 17);
  ASSERT_EQ(test_settings.header_lines.count, 1);
  EXPECT_EQ(strlen(test_settings.header_lines.entries[0].text), piece - 11);
}

TEST_F(SettingsTest, FormDecodingIsReadBeforeTheRestAsTheReaderTakesIt) {
  const struct {
    const char* content;
    bool classic;
  } cases[] = {
      {"smtp x\nform_decoding classic\r\n", true},
      {"form_decoding classic\nform_decoding standard\n", false},
      {"form_decoding classic\nform_decoding nonsense\n", true},
      {" form_decoding classic\nform_decoding  classic\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    std::string path = write_file("quillon.ini", c.content);
    EXPECT_EQ(settings_read_early(path.c_str()).classic_form_decoding, c.classic) << c.content;
  }
  EXPECT_FALSE(settings_read_early((dir_ + "/none.ini").c_str()).classic_form_decoding);
  // run_deadline the same way: its last valid line.
  std::string path = write_file("quillon.ini", "run_deadline 9\nrun_deadline 0\nrun_deadline 9x\n");
  EXPECT_EQ(settings_read_early(path.c_str()).run_deadline, 9);
  EXPECT_TRUE(settings_read_early(path.c_str()).run_deadline_set);
  // Only a valid line counts as given: the default then counts from the
  // body's arrival, not from the run's start.
  path = write_file("quillon.ini", "run_deadline 0\n");
  EXPECT_FALSE(settings_read_early(path.c_str()).run_deadline_set);
  EXPECT_TRUE(log_messages().empty());
}

TEST_F(SettingsTest, FolderIsRefusedLikeAMissingFile) {
  // A folder opens like a file here, but it holds no settings.
  std::string sub = dir_ + "/settings-dir";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  for (const std::string& path : {sub, dir_ + "/absent.ini"}) {
    EXPECT_FALSE(settings_read(path.c_str(), kLookup, &test_settings)) << path;
    EXPECT_EQ(changed_settings(), "") << path;
  }
}

}  // namespace

// Each kind of probable mistake, and the lines that are text: the first
// word is all that is shown, never the value after it.
TEST(SettingsMistakes, NamesTheKeyMeantAndLeavesTextAlone) {
  const struct {
    const char* line;
    const char* word;  // null: not a mistake
    const char* key;
    MistakeKind kind;
  } cases[] = {
      {"smpt 10.0.0.1", "smpt", "smtp", MistakeKind::kMisspelt},
      {"smtp_cafile /etc/ca.pem", "smtp_cafile", "smtp_ca_file", MistakeKind::kMisspelt},
      {"sucess_html_page ok.html", "sucess_html_page", "success_html_page", MistakeKind::kMisspelt},
      {"smtp_pasword s3cret", "smtp_pasword", "smtp_password", MistakeKind::kMisspelt},
      {"smtp_securty starttls", "smtp_securty", "smtp_security", MistakeKind::kMisspelt},
      {"smtp\t10.0.0.1", "smtp", "smtp", MistakeKind::kTabAfter},
      {"  logging debug", "logging", "logging", MistakeKind::kBlanksBefore},
      {"Smtp_Timeout 5", "Smtp_Timeout", "smtp_timeout", MistakeKind::kOtherCase},
      {"email_cr=LFCR", "email_cr", "email_CR", MistakeKind::kMisspelt},
      {"stop", nullptr, nullptr, MistakeKind::kMisspelt},       // one edit at most for short keys
      {"smtp_timeout soon", nullptr, nullptr, MistakeKind::kMisspelt},  // the key: its value was refused
      {"Dear visitor,", nullptr, nullptr, MistakeKind::kMisspelt},
      {"# smpt 1.2.3.4", nullptr, nullptr, MistakeKind::kMisspelt},
      {"smpt: 1.2.3.4", nullptr, nullptr, MistakeKind::kMisspelt},
      {"", nullptr, nullptr, MistakeKind::kMisspelt},
  };
  for (const auto& c : cases) {
    SettingsMistake mistake;
    bool found = settings_probable_mistake(c.line, &mistake);
    ASSERT_EQ(c.word != nullptr, found) << c.line;
    if (!found) continue;
    EXPECT_STREQ(c.word, mistake.word) << c.line;
    EXPECT_STREQ(c.key, mistake.key) << c.line;
    EXPECT_EQ(c.kind, mistake.kind) << c.line;
  }
}
