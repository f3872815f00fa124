#include "form/form.h"
#include "form/request.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/log.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

FormTable table{};

Entries table_entries() {
  Entries out;
  for (int i = 0; i < table.count; ++i) out.emplace_back(table.names[i], table.values[i]);
  return out;
}

Entries decode(const std::string& body, FormDecoding decoding = FormDecoding::kClassic) {
  form_free(&table);
  form_decode(&table, body.data(), body.size(), decoding);
  return table_entries();
}

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override { form_free(&table); }
  void TearDown() override { form_free(&table); }
};

TEST_F(FormTest, DecodesOnceAsBrowsersEncode) {
  const std::pair<const char*, Entries> cases[] = {
      {"a+b%3Dc=d%252B", {{"a b=c", "d%2B"}}},
      {"x=20%25+off&y=100%25sure", {{"x", "20% off"}, {"y", "100%sure"}}},
      {"x=20%+off&y=100%sure", {{"x", "20% off"}, {"y", "100%sure"}}},
      {"x=%2541%2542&y=%25e9", {{"x", "%41%42"}, {"y", "%e9"}}},
      {"x=%41%4a%c3%A9", {{"x", "AJ\xC3\xA9"}}},
      {"x=%zz&y=%4&z=5%", {{"x", "%zz"}, {"y", "%4"}, {"z", "5%"}}},
      {"x%=1&%", {{"x%", "1"}, {"%", ""}}},
      {"t=line1%0D%0Aline2%0d&n%0D=v", {{"t", "line1\nline2"}, {"n\r", "v"}}},
      {"a%00b=c&d=e%00f", {{"a", "c"}, {"d", "e"}}},
      {"flag&=x&a=b=c&&", {{"flag", ""}, {"", "x"}, {"a", "b=c"}, {"", ""}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode(c.first, FormDecoding::kStandard), c.second) << "body: " << c.first;
  }
  // The default is this decoding.
  form_free(&table);
  form_decode(&table, "x=50%25off", 10);
  EXPECT_STREQ(form_value(table, "x"), "50%off");
}

// form_decoding classic: the double decoding stored forms may rely on.
TEST_F(FormTest, DecodesEveryBodyShape) {
  struct Case {
    const char* body;
    Entries expected;
  };
  const Case cases[] = {
      {"a+b%3Dc=d%252B", {{"a b", "c=d+"}}},
      {"flag", {{"flag", ""}}},
      {"=x", {{"", "x"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"a=1&&b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"a=1&", {{"a", "1"}}},
      {"&a=1", {{"", ""}, {"a", "1"}}},
      {"n%3Dx=1", {{"n", "x=1"}}},
      {"c=a%26b", {{"c", "a&b"}}},
      {"x=1%2B1", {{"x", "1+1"}}},
      {"x=50%25off", {{"x", "50%OFf"}}},
      {"x=%25ab", {{"x", "\xAB"}}},
      {"x=%2525", {{"x", "%"}}},
      {"x=100%25", {{"x", "100%"}}},
      {"x=%25a", {{"x", "%A"}}},
      {"x=%zz", {{"x", "S"}}},
      {"t=line1%0D%0Aline2", {{"t", "line1\nline2"}}},
      {"t=%250D", {{"t", ""}}},
      {"Name%3A=Joe+Bloggs&Interests%3A=sailing", {{"Name:", "Joe Bloggs"}, {"Interests:", "sailing"}}},
      // A decoded NUL ends the pair: in the name it takes the value too.
      {"a%00b=c&d=e", {{"a", ""}, {"d", "e"}}},
      {"a=b%00c", {{"a", "b"}}},
      {"a=%2500c", {{"a", ""}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.body), c.expected) << "body: " << c.body;
  }
}

TEST_F(FormTest, PercentAtTheEndOfAPairIsKept) {
  // Pairs are cut to their exact size on the heap, so a read past the end
  // shows up under the address sanitizer as well as in the result.
  const std::pair<const char*, Entries> cases[] = {
      {"x=5%", {{"x", "5%"}}},
      {"x=%4", {{"x", "%4"}}},
      {"x=%a&y=1", {{"x", "%A"}, {"y", "1"}}},
      {"x=%", {{"x", "%"}}},
      {"%", {{"%", ""}}},
      {"x%=1", {{"x\xD1", ""}}},  // "%=1" decodes by the loose rule, eating the '='
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.first), c.second) << "body: " << c.first;
}

TEST(FormDecodeSteps, HexPairValueFollowsTheLooseRule) {
  struct Case {
    char c1, c2;
    unsigned char expected;
  };
  const Case cases[] = {
      {'4', '1', 0x41}, {'f', 'F', 0xFF}, {'a', '0', 0xA0}, {'z', 'z', 'S'},
      {'G', '1', 0x01}, {'=', 'b', 0xDB}, {'0', '0', 0x00},
      // Bytes above 127 count as negative: (16 * -49 - 49) mod 256.
      {'\xFF', '\xFF', 0xBF},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex_pair_value(c.c1, c.c2), c.expected) << c.c1 << c.c2;
  }
}

TEST(FormDecodeSteps, DecodeValueIsStrictAndDropsCarriageReturns) {
  const std::pair<const char*, const char*> cases[] = {
      {"%41%42", "AB"},  {"%4a", "J"},      {"%4g", "%4G"},     {"a\rb%0d", "ab"},
      {"%%41", "%A"},    {"%", "%"},        {"%a", "%A"},       {"%2541", "%41"},
      {"50%off", "50%OFf"}, {"%0A", "\n"},  {"%00tail", ""},    {"plain", "plain"},
  };
  for (const auto& c : cases) {
    std::vector<char> text(c.first, c.first + strlen(c.first) + 1);
    decode_value(text.data());
    EXPECT_STREQ(text.data(), c.second) << "input: " << c.first;
  }
}

TEST_F(FormTest, NulByteInTheBodyEndsTheForm) {
  const std::string body("a=1&b=2\0c=3&d=4", 15);
  EXPECT_EQ(decode(body), (Entries{{"a", "1"}, {"b", "2"}}));
}

TEST_F(FormTest, KeepsTheFirstThousandPairsOfALargeBody) {
  // 1001 pairs of 100 bytes each: the largest body the program reads, and
  // one pair too many.
  std::string body;
  for (int i = 0; i < 1001; ++i) {
    char pair[128];
    snprintf(pair, sizeof pair, "n%04d=%093d&", i, i);
    body += pair;
  }
  ASSERT_EQ(body.size(), 100100u);
  form_decode(&table, body.data(), body.size());
  ASSERT_EQ(table.count, kMaxFormPairs);
  EXPECT_STREQ(table.names[999], "n0999");
  EXPECT_EQ(strlen(table.values[999]), 93u);
  EXPECT_STREQ(form_value(table, "n1000"), "");
}

TEST_F(FormTest, LookupIsExactAndTakesTheFirstMatch) {
  EXPECT_STREQ(form_value(table, "Name"), "");  // empty table
  form_decode(&table, "Name=A&Name=B&=e1&=e2&x=", 24);
  EXPECT_STREQ(form_value(table, "Name"), "A");
  EXPECT_STREQ(form_value(table, "name"), "");
  EXPECT_STREQ(form_value(table, "Nam"), "");
  EXPECT_STREQ(form_value(table, ""), "e1");
  EXPECT_STREQ(form_value(table, "x"), "");
  // Every value of a repeated name, in order; a changed value shows.
  EXPECT_STREQ(form_joined_value(table, "Name"), "A, B");
  EXPECT_STREQ(form_joined_value(table, "x"), "");
  EXPECT_STREQ(form_joined_value(table, "y"), "");
  form_set_value(&table, 1, "C");
  EXPECT_STREQ(form_joined_value(table, "Name"), "A, C");
  form_free(&table);
  form_decode(&table, "a=1", 3);
  EXPECT_STREQ(form_value(table, ""), "");
}

TEST_F(FormTest, RandomBodiesStayWithinTheirPairs) {
  // Bodies built from the characters that steer the decoding; run under the
  // sanitizers this checks that no pair is read or written past its end.
  static const char kAlphabet[] = "%&=+aFz0\r\n5%%";
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string body(rng() % 24, ' ');
    for (char& ch : body) ch = kAlphabet[rng() % (sizeof kAlphabet - 1)];
    form_free(&table);
    form_decode(&table, body.data(), body.size(),
                round % 2 == 0 ? FormDecoding::kStandard : FormDecoding::kClassic);
    for (int i = 0; i < table.count; ++i) {
      EXPECT_EQ(strchr(table.values[i], '\r'), nullptr) << "body: " << body;
      EXPECT_LE(strlen(table.values[i]), body.size());
    }
  }
}

// read_form against real files on standard input.
class ReadFormTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    char pattern[] = "/tmp/quillon-form-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    log_path_ = dir_ + "/test.log";
    g_log.path = log_path_.c_str();
    g_log.logging = nullptr;
  }
  void TearDown() override {
    g_log.path = "";
    std::remove(log_path_.c_str());
    std::remove((dir_ + "/body").c_str());
    rmdir(dir_.c_str());
    FormTest::TearDown();
  }
  // Reads `body` as the request; returns the outcome of a refusal, or
  // kSent when the body was taken.
  Outcome read_body(const std::string& body, const char* content_length,
                    const char* content_type = nullptr) {
    std::string path = dir_ + "/body";
    std::ofstream(path, std::ios::binary) << body;
    EXPECT_NE(freopen(path.c_str(), "rb", stdin), nullptr);
    Request cgi = {};
    cgi.content_length = content_length;
    cgi.content_type = content_type;
    FormRequest request{};
    read_form(cgi, &table, &request);
    Outcome outcome = request.refused ? request.outcome : Outcome::kSent;
    form_request_free(&request);
    return outcome;
  }
  std::string log_text() {
    std::ifstream in(log_path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_;
  std::string log_path_;
};

TEST_F(ReadFormTest, LengthDecidesHowMuchIsRead) {
  const struct {
    const char* content_length;
    Entries expected;
  } cases[] = {
      {nullptr, {}},
      {"", {}},
      {"abc", {}},
      {"0", {}},
      {"-5", {}},
      {"7", {{"a", "1"}, {"b", "2"}}},
      {"  5xyz", {{"a", "1"}, {"b", ""}}},
      {"+3", {{"a", "1"}}},
      {"500", {}},  // the input ends early: nothing of it is taken
  };
  for (const auto& c : cases) {
    form_free(&table);
    read_body("a=1&b=2&c=3", c.content_length);
    EXPECT_EQ(table_entries(), c.expected)
        << "CONTENT_LENGTH " << (c.content_length ? c.content_length : "unset");
  }
  // One line, for the body that stopped.
  const std::string line = " - the form body of type {none} was refused: the body stopped after "
                           "11 of 500 bytes; nothing sent.\n";
  std::string log = log_text();
  EXPECT_EQ(log.find('\n'), log.size() - 1) << log;
  EXPECT_EQ(log.find(line), log.size() - line.size()) << log;
}

TEST_F(ReadFormTest, BodyOverItsCapOrCutShortIsRefusedWhole) {
  const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=f; filename=f\r\n\r\n";
  const std::string tail = "\r\n--XyZ--\r\n";
  const size_t multipart_filler = static_cast<size_t>(kMaxMultipartBody) - head.size() - tail.size();
  const struct {
    std::string body;
    const char* type;
    Outcome outcome;
    const char* announced = nullptr;  // CONTENT_LENGTH; null: the body's size
  } cases[] = {
      {"Order=Please cancel my ord", "text/plain", Outcome::kMalformed, "199"},
      {"a=" + std::string(kMaxFormBody - 2, 'x'), nullptr, Outcome::kSent},
      {"a=" + std::string(kMaxFormBody - 1, 'x'), nullptr, Outcome::kTooLarge},
      {"a=" + std::string(kMaxFormBody - 1, 'x'), "text/plain", Outcome::kTooLarge},
      {head + std::string(multipart_filler, 'z') + tail, "multipart/form-data; boundary=XyZ",
       Outcome::kSent},
      {head + std::string(multipart_filler + 1, 'z') + tail, "multipart/form-data; boundary=XyZ",
       Outcome::kTooLarge},
  };
  for (const auto& c : cases) {
    form_free(&table);
    std::string length = c.announced != nullptr ? c.announced : std::to_string(c.body.size());
    EXPECT_EQ(read_body(c.body, length.c_str(), c.type), c.outcome)
        << c.body.size() << " bytes of " << (c.type != nullptr ? c.type : "no type");
    EXPECT_EQ(table.count, c.outcome == Outcome::kSent ? 1 : 0);
  }
  std::string log = log_text();
  EXPECT_NE(log.find("{none} was refused: CONTENT_LENGTH is more than the 100000 bytes it may "
                     "hold; nothing sent."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("{text/plain} was refused: the body stopped after 26 of 199 bytes;"),
            std::string::npos)
      << log;
}

}  // namespace
