#include "compose/message.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "compose/envelope.h"
#include "compose_fixture.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "deliver/mail_options.h"

namespace {

using MessageTest = ComposeTest;

const std::string kTrailer =
    "X-QUILLON: sent by web form submition activated CGI program.";

std::string taken(MessageBlock block) {
  std::string text(block.wire->data, static_cast<size_t>(block.wire->length));
  message_block_free(&block);
  return text;
}

TEST_F(MessageTest, HeaderLinesAreWrittenByteForByte) {
  static const struct {
    const char* text;
    const char* value;
    bool bare_names;
    const char* written;  // before the trailer
  } cases[] = {
      {"Subject: Form Submission Data", "", false,
       "Subject: Form Submission Data \n"},
      // The colon goes only where the text holds none.
      {"Subject: Form Submission Data", "", true,
       "Subject: Form Submission Data \n"},
      {"To: \"Me\" <me@example.com>", "", true, "To: \"Me\" <me@example.com> \n"},
      {"Subject:", "Hello", true, "Subject: Hello\n"},
      {"Subject", "Hello", true, "Subject: Hello\n"},
      {"Subject", "Hello", false, ""},
      {"Status:", "any", true, ""},
      // A value cannot start header lines of its own.
      {"Subject:", "Hi\r\nBcc: victim@x.test", false,
       "Subject: Hi  Bcc: victim@x.test\n"},
      {"From:", "a\rb@x\n", false, "From: a b@x \n"},
  };
  for (const auto& c : cases) {
    fresh();
    settings_.add_headerline_colon = c.bare_names;
    header(c.text, c.value);
    EXPECT_EQ(c.written + kTrailer + "\n", taken(build_header_block(settings_, form_, &envelope_)))
        << c.text << " / " << c.value;
  }
}

TEST_F(MessageTest, HeaderBlockKeepsOnlyUsableEntriesAndHidesTheBlindCopy) {
  settings_.email_line_ending = "\r\n";
  header("From: Joe <joe@x.test>");
  header("From:", "second@x.test");
  header("To:", "desk@x.test");
  header("BCC:", "hidden@x.test");
  header("CC:", "copy@x.test");
  header("BCC:", "another@x.test");
  header("Subject:", "Hello");
  std::string expected =
      "From: Joe <joe@x.test> \r\nTo: desk@x.test\r\n"
      "CC: copy@x.test\r\nSubject: Hello\r\n";
  EXPECT_EQ(expected + kTrailer + "\r\n", taken(build_header_block(settings_, form_, &envelope_)));
  EXPECT_EQ("hidden@x.test", shown(envelope_.bcc));
  // The debug copy is taken before the trailer line is added.
  EXPECT_TRUE(logged("generated headers {" + expected + "}"));
}

TEST_F(MessageTest, BodyLinesAreWrittenByteForByte) {
  static const struct {
    const char* label;
    const char* value;
    bool no_padding;
    const char* eol;
    const char* written;
  } cases[] = {
      {"Name:", "Joe Bloggs", false, "\r\n", " Name: Joe Bloggs\r\n"},
      {"Name:", "Joe Bloggs", true, "\r\n", "Name: Joe Bloggs\r\n"},
      {"Static line:", "", false, "\n", " Static line: \n"},
      {"Comments:", "line one\nline two\n", false, "\r\n",
       " Comments: line one\r\n           line two\r\n           \r\n"},
      {"Comments:", "line one\r\nline two", true, "\n",
       "Comments: line one\n           line two\n"},
      {"X:", "\n", false, "\n", " X: \n    \n"},
      // CR LF is one line break, a lone CR one of its own.
      {"A:", "one\r\ntwo\r\n", false, "\r\n", " A: one\r\n    two\r\n    \r\n"},
      {"A:", "a\rb", false, "\n", " A: a\n    b\n"},
      {"A:", "a\r\r\nb\r", false, "\n", " A: a\n    \n    b\n    \n"},
  };
  for (const auto& c : cases) {
    fresh();
    settings_.no_padding = c.no_padding;
    settings_.email_line_ending = c.eol;
    body(c.label, c.value);
    EXPECT_EQ(c.written, taken(build_body_block(settings_, form_))) << c.label << c.value;
  }
}

TEST_F(MessageTest, LongLabelsAreLeftOutOfTheBody) {
  std::string fits(498, 'L');
  body(fits, "a\nb");
  body(std::string(499, 'M'), "left out");
  body("After:", "kept");
  EXPECT_EQ(" " + fits + " a\n" + std::string(500, ' ') + "b\n After: kept\n",
            taken(build_body_block(settings_, form_)));
}

TEST_F(MessageTest, VariableListOnlyForExactlyTrue) {
  body("Name:", "Joe");
  variable("Name:", "Joe");
  variable("Email:", "");
  variable("Notes:", "two\nlines");
  const std::string lines = " Name: Joe\n";
  const std::string list =
      "\n\nAll variables from the submitted form:\n(Name:)==(Joe)\n";
  for (const char* word : {"True", "yes", "true ", ""}) {
    settings_.sendall = keep(word);
    EXPECT_EQ(lines, taken(build_body_block(settings_, form_))) << "sendall " << word;
  }
  settings_.sendall = keep("true");
  EXPECT_EQ(lines + list + "(Email:)==()\n(Notes:)==(two\nlines)\n",
            taken(build_body_block(settings_, form_)));
  // Leaving out empty values touches the list only, not the body entries.
  settings_.remove_empty_variables = true;
  body("Empty:", "");
  EXPECT_EQ(lines + " Empty: \n" + list + "(Notes:)==(two\nlines)\n",
            taken(build_body_block(settings_, form_)));
}

TEST_F(MessageTest, VariableListLineBreaksFollowTheMessageLineEnding) {
  // A bare LF inside a CR LF message is refused by strict servers.
  settings_.email_line_ending = "\r\n";
  settings_.sendall = keep("true");
  variable("Notes:", "two\nlines\r\nthree\n");
  variable("Odd\nname", "x");
  variable("a\r.\r\nb", "y");  // names keep their CRs
  EXPECT_EQ(
      "\r\n\r\nAll variables from the submitted form:\r\n"
      "(Notes:)==(two\r\nlines\r\nthree\r\n)\r\n(Odd\r\nname)==(x)\r\n"
      "(a\r\n.\r\nb)==(y)\r\n",
      taken(build_body_block(settings_, form_)));
}

TEST(LimitLineLengths, NoLineOnTheWireHoldsMoreThan998Characters) {
  const std::string x(1200, 'x');
  const std::string words = "Subject: " + std::string(600, 'a') + " " + std::string(600, 'b');
  static const struct {
    bool header;
    const char* eol;
    std::string block;
    std::string shown;  // the log's copy; "" for none
    std::string limited;
    std::string limited_shown;
  } cases[] = {
      {false, "\n", "short\n", "", "short\n", ""},
      {false, "\r\n", x + "\r\n", "", x.substr(0, 998) + "\r\n" + x.substr(998) + "\r\n", ""},
      // The extra dot of a line beginning with "." counts.
      {false, "\n", "." + x, "", "." + x.substr(0, 996) + "\n" + x.substr(996), ""},
      // A UTF-8 character stays whole.
      {false, "\n", std::string(997, 'a') + "\xc3\xa9z\n", "",
       std::string(997, 'a') + "\n\xc3\xa9z\n", ""},
      // The copy breaks in step, with the line end the wire gets.
      {false, "\n", "\x01" + x + "\n", "\\x01" + x + "\n",
       "\x01" + x.substr(0, 997) + "\n" + x.substr(997) + "\n",
       "\\x01" + x.substr(0, 997) + "\n" + x.substr(997) + "\n"},
      // Headers fold at the last blank that fits...
      // (the copy keeps the fold a line end: the next line starts with a blank)...
      {true, "\r\n", words + "\r\n", words + "\r\n",
       "Subject: " + std::string(600, 'a') + "\r\n " + std::string(600, 'b') + "\r\n",
       "Subject: " + std::string(600, 'a') + "\r\n " + std::string(600, 'b') + "\r\n"},
      // ...or, with none, break and start the continuation with a blank.
      {true, "\n", "X: " + x + "\n", "",
       "X:\n " + x.substr(0, 997) + "\n " + x.substr(997) + "\n", ""},
  };
  for (const auto& c : cases) {
    TextBuffer* block = text_buffer_new(c.block.c_str());
    TextBuffer* shown = c.shown.empty() ? nullptr : text_buffer_new(c.shown.c_str());
    limit_line_lengths(block, shown, c.eol, c.header);
    EXPECT_EQ(c.limited, block->data) << c.block.substr(0, 20);
    if (shown != nullptr) {
      EXPECT_EQ(c.limited_shown, shown->data) << c.block.substr(0, 20);
    }
    text_buffer_free(block);
    text_buffer_free(shown);
  }
}

TEST_F(MessageTest, MissingFromToOrSubjectStopsTheDispatch) {
  static const struct {
    const char* from;
    const char* to;
    const char* subject;
    const char* shown;
  } cases[] = {
      {nullptr, nullptr, nullptr,
       "From={(null)} To={(null)} Subject_found=FALSE"},
      {"f@x", "t@x", nullptr, "From={f@x} To={t@x} Subject_found=FALSE"},
      {"f@x", nullptr, "Hi", "From={f@x} To={(null)} Subject_found=TRUE"},
      {"no address", "t@x", "Hi", "From={(null)} To={t@x} Subject_found=TRUE"},
  };
  for (const auto& c : cases) {
    fresh();
    if (c.from != nullptr) header("From:", c.from);
    if (c.to != nullptr) header("To:", c.to);
    if (c.subject != nullptr) header("Subject:", c.subject);
    body("Name:", "Joe");
    EXPECT_EQ(AssembleStop::kNotConfigured, assemble_message(settings_, form_, &envelope_, &message_)) << c.shown;
    std::string headers = message_.header.wire->data;
    if (settings_.header_lines.count == 0) {
      EXPECT_EQ(kTrailer + "\n", headers);
    }
    EXPECT_STREQ(" Name: Joe\n", message_.body.wire->data);
    EXPECT_TRUE(logged(
        "email not sent due to From, or To, or Subject headers not being "
        "present or valid. " + std::string(c.shown) + "\r\n HEADERS = \r\n" +
        headers + "\r\n = HEADERS\r\nBODY = \r\n Name: Joe\n\r\n = BODY."))
        << c.shown;
    EXPECT_EQ(0, in_log("about to send")) << c.shown;
  }
}

// With debug lines off no line shows the log's copies, so none are made.
TEST_F(MessageTest, LogCopiesOnlyWhereTheLogShowsThem) {
  g_log.logging = "errors";
  header("From:", "f@x.test");
  header("Subject:", "Hi");
  body("Name:", "Jo\x01");
  EXPECT_EQ(AssembleStop::kNotConfigured,
            assemble_message(settings_, form_, &envelope_, &message_));  // no To
  EXPECT_EQ(1, in_log("email not sent: missing or invalid: To; headers of "));
  EXPECT_EQ(nullptr, message_.header.shown);
  fresh();
  g_log.logging = "errors";
  header("From:", "f@x.test");
  header("To:", "t@x.test");
  header("Subject:", "Hi");
  ASSERT_EQ(AssembleStop::kNone, assemble_message(settings_, form_, &envelope_, &message_));
  EXPECT_EQ(nullptr, message_.header.shown);
  EXPECT_EQ(nullptr, message_.body.shown);
}

TEST_F(MessageTest, CompleteEnvelopeGoesToTheDialogue) {
  // No smtp line: the dialogue cannot connect and reports the mail unsent.
  header("From:", "f@x.test");
  header("To:", "t@x.test");
  header("Subject:", "Hi");
  ASSERT_EQ(AssembleStop::kNone, assemble_message(settings_, form_, &envelope_, &message_));
  Submission submission = {{envelope_.from, envelope_.to, envelope_.cc, envelope_.bcc,
                             message_.header.wire->data, message_.body.wire->data,
                             message_.header.shown->data, message_.body.shown->data},
                            nullptr};
  DeliveryContext context = {&settings_, "quillon.ini", nullptr};
  EXPECT_EQ(DeliveryOutcome::kUnreachable, deliver_submission(context, submission).mail.outcome);
  EXPECT_TRUE(logged("about to send email to smtp server ((null)) from: "
                     "(f@x.test) to: (t@x.test)"));
  EXPECT_TRUE(logged("Email not sent."));
  EXPECT_EQ(0, in_log("email not sent due to") + in_log("email sent! (1)"));
}

TEST_F(MessageTest, StandardHeadersAndReplyToComeBeforeTheTrailer) {
  settings_.standard_headers = true;
  settings_.smtp_security = kSecurityStarttls;  // CR LF whatever email_CR says
  settings_.reply_to_variable = keep("Email:");
  variable("Email:", "Ann <ann@example.org>");
  header("From: Form <form@example.com>");
  header("Subject:", "Gr\xc3\xbc\xc3\x9f" "e");
  body("Name:", "Jos\xc3\xa9");
  EXPECT_EQ(AssembleStop::kNotConfigured, assemble_message(settings_, form_, &envelope_, &message_));  // there is no To
  const std::regex expected(
      "From: Form <form@example.com>\r\n"
      "Subject: =\\?UTF-8\\?B\\?R3LDvMOfZQ==\\?=\r\n"
      "Reply-To: <ann@example.org>\r\n"
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d [A-Z][a-z][a-z] \\d{4} "
      "\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\r\n"
      "Message-ID: <[0-9a-f]+\\.[0-9a-f]+\\.[0-9a-f]{16}@example\\.com>\r\n"
      "MIME-Version: 1\\.0\r\n"
      "Content-Type: text/plain; charset=UTF-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n" +
      kTrailer + "\r\n");
  EXPECT_TRUE(std::regex_match(std::string(message_.header.wire->data), expected))
      << message_.header.wire->data;
  EXPECT_STREQ(" Name: Jos=C3=A9\r\n", message_.body.wire->data);

  // A plain body stays as it is; a value that is not one address gives no
  // Reply-To.
  fresh();
  settings_.standard_headers = true;
  settings_.reply_to_variable = keep("Email:");
  variable("Email:", "a@x.test, b@x.test");
  header("From:", "form@example.com");
  body("Name:", "Joe");
  EXPECT_EQ(AssembleStop::kNotConfigured, assemble_message(settings_, form_, &envelope_, &message_));
  std::string headers = message_.header.wire->data;
  EXPECT_NE(headers.find("\nContent-Transfer-Encoding: 7bit\n"), std::string::npos);
  EXPECT_EQ(headers.find("Reply-To"), std::string::npos);
  EXPECT_STREQ(" Name: Joe\n", message_.body.wire->data);
  EXPECT_TRUE(logged("no Reply-To: the submitted value of (Email:) is not one address: "
                     "it holds a line break or a comma"));
}

TEST_F(MessageTest, SmtpSettingsReachTheDialogueOrStopIt) {
  const std::string dir = testing::TempDir();
  const std::string file = dir + "/quillon-pw";
  const std::string empty = dir + "/quillon-pw-empty";
  std::ofstream(file, std::ios::binary) << "from file\r\nsecond line\n";
  std::ofstream(empty, std::ios::binary) << "\n";
  const struct {
    SecurityMode security;
    const char* user;
    const char* password;
    std::string password_file;
    const char* used;  // the password handed on; null: nothing handed on
    std::string error;
  } cases[] = {
      {kSecurityStarttls, "ann", "pw", "", "pw", ""},
      {kSecurityTls, "ann", "pw", file, "from file", ""},
      {kSecurityTls, nullptr, nullptr, "", "(none)", ""},
      {kSecurityNone, "ann", "pw", "",  nullptr,
       "smtp_user needs smtp_security starttls or tls: a password is never sent unencrypted."},
      {kSecurityTls, "ann", nullptr, "", nullptr,
       "smtp_user {ann} is set but neither smtp_password nor smtp_password_file."},
      {kSecurityTls, nullptr, "pw", "", nullptr, "a password is set but no smtp_user."},
      {kSecurityTls, "ann", nullptr, dir + "/missing", nullptr,
       "smtp_password_file {" + dir + "/missing} cannot be opened: No such file or directory."},
      {kSecurityTls, "ann", nullptr, empty, nullptr,
       "smtp_password_file {" + empty + "} has an empty first line."},
  };
  for (const auto& c : cases) {
    fresh();
    settings_.smtp = keep("Mail.Example.com:465");
    settings_.smtp_security = c.security;
    settings_.smtp_user = c.user != nullptr ? keep(c.user) : nullptr;
    settings_.smtp_password = c.password != nullptr ? keep(c.password) : nullptr;
    settings_.smtp_password_file =
        c.password_file.empty() ? nullptr : keep(c.password_file);
    DeliveryOptions options;
    EXPECT_EQ(c.used != nullptr, delivery_options(settings_, &options)) << c.error;
    if (c.used != nullptr) {
      EXPECT_EQ(c.used, shown(options.smtp.password));
      EXPECT_STREQ("Mail.Example.com", options.smtp.tls_host);
      EXPECT_STREQ("\r\n", options.smtp.line_ending);
    } else {
      EXPECT_TRUE(logged(c.error)) << c.error;
    }
    delivery_options_free(&options);
  }
  remove(file.c_str());
  remove(empty.c_str());
}

}  // namespace
