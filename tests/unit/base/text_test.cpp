#include "base/text.h"

#include "base/arena.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Each test starts with the process-wide text-buffer formatter as a fresh
// process has it: no spill area, size 64000.
class TextBufferTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSpill(); }
  void TearDown() override { ResetSpill(); }
  static void ResetSpill() {
    free(g_buffer_format.spill);
    g_buffer_format.spill = nullptr;
    g_buffer_format.spill_size = kSpillInitialSize;
  }
};

std::string Text(size_t n, char c = 'x') { return std::string(n, c); }

const char* FormatThrough(FormatArea* area, const char* format, ...)
    QUILLON_PRINTF(2, 3);
const char* FormatThrough(FormatArea* area, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* result = format_in_area(area, format, args);
  va_end(args);
  return result;
}

TEST_F(TextBufferTest, NewCopiesTextWith64000BytesOfSlack) {
  TextBuffer* empty = text_buffer_new("");
  EXPECT_EQ(0, empty->length);
  EXPECT_EQ(64000, empty->capacity);
  EXPECT_STREQ("", empty->data);
  TextBuffer* hello = text_buffer_new("hello");
  EXPECT_EQ(5, hello->length);
  EXPECT_EQ(64005, hello->capacity);
  EXPECT_STREQ("hello", hello->data);
  text_buffer_free(empty);
  text_buffer_free(hello);
}

// Capacity rules: in place while length + 1 < capacity, else twice the old
// block, or the new length plus 20000 when that is more.
TEST_F(TextBufferTest, GrowsOnlyWhenTextAndTwoBytesNoLongerFit) {
  struct Case {
    const char* initial;
    size_t appended;
    int length;
    int capacity;
  } cases[] = {
      {"", 63998, 63998, 64000},             // 0 + 63998 + 1 < 64000
      {"", 63999, 63999, 128000},            // one more doubles
      {"0123456789", 70000, 70010, 128020},  // spilled text into a short one
      {"0123456789", 63998, 64008, 64010},   // 10 + 63998 + 1 < 64010
      {"0123456789", 63999, 64009, 128020},
  };
  for (const Case& c : cases) {
    TextBuffer* buffer = text_buffer_new(c.initial);
    std::string added = Text(c.appended);
    text_buffer_append(buffer, "%s", added.c_str());
    EXPECT_EQ(c.length, buffer->length) << c.initial << " + " << c.appended;
    EXPECT_EQ(c.capacity, buffer->capacity) << c.initial << " + " << c.appended;
    EXPECT_EQ(std::string(c.initial) + added, buffer->data);
    text_buffer_free(buffer);
  }
}

TEST_F(TextBufferTest, AppendsKeepEarlierTextAcrossReallocation) {
  TextBuffer* buffer = text_buffer_new("head:");
  std::string expected = "head:";
  for (int i = 0; i < 5; ++i) {
    std::string piece = Text(30000, static_cast<char>('a' + i));
    text_buffer_append(buffer, "%d%s", i, piece.c_str());
    expected += std::to_string(i) + piece;
    ASSERT_EQ(static_cast<int>(expected.size()), buffer->length);
    ASSERT_LT(buffer->length + 1, buffer->capacity);
  }
  EXPECT_EQ(expected, buffer->data);
  text_buffer_free(buffer);
}

TEST_F(TextBufferTest, ReplaceKeepsBlockAndGrowsLikeAppend) {
  TextBuffer* buffer = text_buffer_new("old text");
  std::string long_text = Text(100000, 'y');
  text_buffer_replace(buffer, "%s", long_text.c_str());
  EXPECT_EQ(100000, buffer->length);
  EXPECT_EQ(128016, buffer->capacity);
  EXPECT_EQ(long_text, buffer->data);

  text_buffer_replace(buffer, "%s", "");  // "" itself trips -Wformat
  EXPECT_EQ(0, buffer->length);
  EXPECT_EQ(128016, buffer->capacity);
  EXPECT_STREQ("", buffer->data);

  text_buffer_replace(buffer, "%s=%d", "n", 7);
  EXPECT_STREQ("n=7", buffer->data);
  EXPECT_EQ(3, buffer->length);
  EXPECT_EQ(128016, buffer->capacity);

  // A replacement that exactly fails the strict test grows.
  TextBuffer* fresh = text_buffer_new("");
  std::string edge = Text(63999);
  text_buffer_replace(fresh, "%s", edge.c_str());
  EXPECT_EQ(128000, fresh->capacity);
  text_buffer_free(fresh);
  text_buffer_free(buffer);
}

// A text built a byte at a time is moved a handful of times, not once
// every 20000 bytes (which made a 4 MB quoted-printable body cost seconds).
TEST_F(TextBufferTest, ByteAtATimeGrowthMovesTheTextLogarithmicallyOften) {
  TextBuffer* buffer = text_buffer_new("");
  int moves = 0;
  for (int i = 0; i < 4000000; ++i) {
    int before = buffer->capacity;
    text_buffer_append(buffer, "%c", 'q');
    if (buffer->capacity != before) ++moves;
  }
  EXPECT_EQ(4000000, buffer->length);
  EXPECT_LE(moves, 8);
  text_buffer_free(buffer);
}

TEST_F(TextBufferTest, BinaryBytesKeepTheirNulsAndATrailingNul) {
  TextBuffer* buffer = text_buffer_new("a");
  text_buffer_append_bytes(buffer, "b\0c", 3);
  text_buffer_append(buffer, "%s", "d");
  ASSERT_EQ(5, buffer->length);
  EXPECT_EQ(std::string("ab\0cd", 5), std::string(buffer->data, 5));
  EXPECT_EQ('\0', buffer->data[5]);
  text_buffer_free(buffer);
}

TEST_F(TextBufferTest, FreeAcceptsNull) { text_buffer_free(nullptr); }

TEST_F(TextBufferTest, OutsideTextIsNeverInterpretedAsFormat) {
  TextBuffer* buffer = text_buffer_new("");
  text_buffer_append(buffer, "%s", "100% %s %n");
  EXPECT_STREQ("100% %s %n", buffer->data);
  text_buffer_free(buffer);
}

// The scratch takes 63000 characters; the spill starts at 64000 bytes and
// holds at most 63997 characters before it doubles.
TEST_F(TextBufferTest, SpillAreaIsMadeOnlyForLongTextsAndDoubles) {
  struct Step {
    size_t length;
    bool in_scratch;
    int spill_size_after;
  } steps[] = {
      {63000, true, 64000},
      {63001, false, 64000},
      {63997, false, 64000},
      {63998, false, 128000},
      {63001, false, 128000},   // later requests start at the doubled size
      {127997, false, 128000},
      {127998, false, 256000},
      {10, true, 256000},
  };
  bool spill_seen = false;
  for (const Step& step : steps) {
    std::string text = Text(step.length);
    const char* result = FormatThrough(&g_buffer_format, "%s", text.c_str());
    EXPECT_EQ(text, result) << step.length;
    if (step.in_scratch) {
      EXPECT_NE(result, g_buffer_format.spill) << step.length;
      if (!spill_seen) {
        EXPECT_EQ(nullptr, g_buffer_format.spill);
      }
    } else {
      EXPECT_EQ(result, g_buffer_format.spill) << step.length;
      spill_seen = true;
    }
    EXPECT_EQ(step.spill_size_after, g_buffer_format.spill_size) << step.length;
  }
}

TEST_F(TextBufferTest, SpillTextIsFormattedWholeFromAllArguments) {
  std::string a = Text(40000, 'a');
  std::string b = Text(40000, 'b');
  TextBuffer* buffer = text_buffer_new("");
  text_buffer_replace(buffer, "[%s|%d|%s]", a.c_str(), 42, b.c_str());
  EXPECT_EQ("[" + a + "|42|" + b + "]", buffer->data);
  EXPECT_NE(nullptr, g_buffer_format.spill);
  text_buffer_free(buffer);
}

TEST(TextArenaTest, CopiesOutliveLaterOnesOfAnySize) {
  // Small copies fill a block and go on in the next; a copy longer than a
  // block gets one of its own; every copy keeps its bytes until the end.
  TextArena arena{};
  std::vector<std::pair<const char*, std::string>> copies;
  for (int i = 0; i < 3000; ++i) {
    std::string text = i % 1000 == 999 ? Text(40000, 'L') : "entry " + std::to_string(i);
    copies.emplace_back(arena_copy(&arena, text.data(), text.size()), text);
  }
  for (const auto& copy : copies) EXPECT_EQ(copy.second, copy.first);
  arena_free(&arena);
  EXPECT_EQ(nullptr, arena.blocks);
}

}  // namespace
