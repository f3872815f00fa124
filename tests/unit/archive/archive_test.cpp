#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_spool.h"
#include "archive/archive_text.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void collect(const char* name, size_t name_length, const char* value, size_t value_length,
             void* context) {
  static_cast<Pairs*>(context)->emplace_back(std::string(name, name_length),
                                             std::string(value, value_length));
}

TEST(ArchiveText, FieldsKeepOrderRepeatsAndEveryByteThroughJson) {
  const char* names[] = {"tag", "note", "tag", "emoji"};
  const char* values[] = {"a", "quote \" back\\slash\r\nnew\tline\x01", "", "Zoë 😀"};
  TextBuffer* json = text_buffer_new("");
  archive_fields_json(names, values, 4, json);
  Pairs read;
  ASSERT_TRUE(archive_fields_each(json->data, collect, &read));
  ASSERT_EQ(read.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(read[i], std::make_pair(std::string(names[i]), std::string(values[i])));
  text_buffer_free(json);
  Pairs none;
  for (const char* bad : {"", "[", "[[\"a\"]]", "[[\"a\",\"b\"],]", "{\"a\":\"b\"}"}) {
    EXPECT_FALSE(archive_fields_each(bad, collect, &none)) << bad;
  }
  none.clear();
  EXPECT_TRUE(archive_fields_each(" [ ] ", collect, &none));
  EXPECT_TRUE(archive_fields_each("[[\"\\ud83d\\ude00\",\"\\u00e9\"]]", collect, &none));
  EXPECT_EQ(none.at(0).first, "😀");
  EXPECT_EQ(none.at(0).second, "é");
}

TEST(ArchiveText, CsvCellsQuoteAndDisarmFormulas) {
  const struct {
    const char* value;
    const char* cell;
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"=1+2", "'=1+2"},
      {"+x", "'+x"},
      {"-3", "'-3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tTAB", "\"'\tTAB\""},
      {"\rCR", "\"'\rCR\""},
      {"=a,\"b\"", "\"'=a,\"\"b\"\"\""},
      {"a=b", "a=b"},
  };
  for (const auto& c : cases) {
    TextBuffer* out = text_buffer_new("");
    archive_csv_cell(out, c.value, strlen(c.value));
    EXPECT_STREQ(out->data, c.cell) << c.value;
    text_buffer_free(out);
  }
}

TEST(ArchiveText, WholeAddressesOnly) {
  const struct {
    const char* text;
    bool holds;
  } cases[] = {
      {"[[\"Email\",\"ann@example.com\"]]", true},
      {"write to ANN@Example.COM.", true},
      {"Ann <ann@example.com>", true},
      {"x-ann@example.com", false},
      {"ann@example.com.au", false},
      {"ann@example.community", false},
      {"nothing here", false},
  };
  for (const auto& c : cases) EXPECT_EQ(archive_holds_address(c.text, "ann@example.com"), c.holds) << c.text;
  EXPECT_FALSE(archive_holds_address("anything", ""));
}

TEST(ArchiveText, DatesAreWholeUtcDays) {
  long long seconds = 0;
  ASSERT_TRUE(archive_parse_date("1970-01-02", &seconds));
  EXPECT_EQ(seconds, 86400);
  ASSERT_TRUE(archive_parse_date("2024-02-29", &seconds));
  char text[32];
  archive_time_text(seconds + 3723, text, sizeof text);
  EXPECT_STREQ(text, "2024-02-29T01:02:03Z");
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-1-01", "2024-01-01x", "24-01-01", ""}) {
    EXPECT_FALSE(archive_parse_date(bad, &seconds)) << bad;
  }
}

TEST(ArchiveSpool, AWaitingRecordReadsBackWhole) {
  ArchiveRecord record = {};
  record.id = "20260107T134501.123456Z_web1_42_0011223344556677";
  record.received = 1767793501;
  record.fields = "[[\"a\",\"b\\\"c\"]]";
  record.files = "[]";
  record.outcome = "sent";
  record.server_reply = "250 2.0.0 queued";
  record.elapsed_ms = 12;
  record.spam_score = 4.5;
  record.has_spam_score = true;
  char* text = archive_waiting_text(record);
  ArchiveWaiting read;
  ASSERT_TRUE(archive_waiting_read(text, strlen(text), &read));
  EXPECT_STREQ(read.record.id, record.id);
  EXPECT_STREQ(read.record.fields, record.fields);
  EXPECT_STREQ(read.record.server_reply, record.server_reply);
  EXPECT_EQ(read.record.client, nullptr);
  EXPECT_EQ(read.record.received, record.received);
  EXPECT_EQ(read.record.elapsed_ms, 12);
  EXPECT_TRUE(read.record.has_spam_score);
  archive_waiting_free(&read);
  text[3] = 'X';
  EXPECT_FALSE(archive_waiting_read(text, strlen(text), &read));
  free(text);
}

}  // namespace
