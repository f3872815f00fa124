#include "compose/rate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Each test works on a table of its own beside g_rate.
RateTable table_a;
RateTable table_b;
char file[kRateFileMax + 1];

TEST(Rate, AdmitsUpToTheLimitPerClientWithinTheWindow) {
  rate_start_afresh(&table_a);
  const int64_t t = 1700000000;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(rate_admit(&table_a, 1, t + i, 5, 600)) << i;
  EXPECT_FALSE(rate_admit(&table_a, 1, t + 10, 5, 600));
  EXPECT_TRUE(rate_admit(&table_a, 2, t + 10, 5, 600));  // another client
  EXPECT_EQ(table_a.count, 6);                           // a refusal is not counted
  // The first entry leaves the window 600 s after it was made.
  EXPECT_FALSE(rate_admit(&table_a, 1, t + 599, 5, 600));
  EXPECT_TRUE(rate_admit(&table_a, 1, t + 600, 5, 600));
  EXPECT_EQ(table_a.count, 6);
  // Entries from a clock that was set back are dropped, not kept forever.
  EXPECT_TRUE(rate_admit(&table_a, 3, t - 10000, 5, 600));
  EXPECT_EQ(table_a.count, 1);
}

TEST(Rate, KeepsAtMostTheLimitOfEntriesDroppingTheOldest) {
  rate_start_afresh(&table_a);
  const int64_t t = 1700000000;
  for (int i = 0; i < kRateMaxEntries + 3; ++i) {
    ASSERT_TRUE(rate_admit(&table_a, static_cast<uint64_t>(i), t, 1, 600));
  }
  EXPECT_EQ(table_a.count, kRateMaxEntries);
  EXPECT_EQ(table_a.entries[0].client, 3u);
  EXPECT_EQ(table_a.entries[kRateMaxEntries - 1].client,
            static_cast<uint64_t>(kRateMaxEntries + 2));
}

TEST(Rate, FileContentRoundTripsAndDamageIsSeen) {
  rate_start_afresh(&table_a);
  for (int i = 0; i < 3; ++i) rate_admit(&table_a, 100u + i, 1700000000 + i, 5, 600);
  size_t length = rate_encode(table_a, file);
  ASSERT_EQ(length, kRateHeaderSize + 3 * kRateEntrySize);
  ASSERT_TRUE(rate_decode(file, length, &table_b));
  EXPECT_EQ(memcmp(table_a.key, table_b.key, kRateKeySize), 0);
  ASSERT_EQ(table_b.count, 3);
  EXPECT_EQ(table_b.entries[2].client, 102u);
  EXPECT_EQ(table_b.entries[2].time, 1700000002);

  const std::string good(file, length);
  for (size_t at = 0; at < length; ++at) {  // any byte changed
    std::string bad = good;
    bad[at] ^= 0x20;
    EXPECT_FALSE(rate_decode(bad.data(), bad.size(), &table_b)) << "byte " << at;
  }
  for (size_t cut : {size_t{0}, size_t{8}, kRateHeaderSize - 1, kRateHeaderSize, length - 1}) {
    EXPECT_FALSE(rate_decode(good.data(), cut, &table_b)) << "cut at " << cut;
  }
  std::string longer = good + std::string(kRateEntrySize, '\0');
  EXPECT_FALSE(rate_decode(longer.data(), longer.size(), &table_b));
}

TEST(Rate, ClientHashDependsOnTheFilesKey) {
  rate_start_afresh(&table_a);
  rate_start_afresh(&table_b);
  ASSERT_NE(memcmp(table_a.key, table_b.key, kRateKeySize), 0);
  EXPECT_EQ(rate_client_hash(table_a, "192.0.2.1"), rate_client_hash(table_a, "192.0.2.1"));
  EXPECT_NE(rate_client_hash(table_a, "192.0.2.1"), rate_client_hash(table_a, "192.0.2.2"));
  EXPECT_NE(rate_client_hash(table_a, "192.0.2.1"), rate_client_hash(table_b, "192.0.2.1"));
}

// SipHash-2-4 under the key 00..0f: the empty message is the published
// vector; the others were computed with an implementation that gives the
// published one for 00..0e.
TEST(Rate, ClientHashIsSipHash24) {
  for (int i = 0; i < kRateKeySize; ++i) table_a.key[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(rate_client_hash(table_a, ""), 0x726fdb47dd0e0e31u);
  EXPECT_EQ(rate_client_hash(table_a, "192.0.2.1"), 0xfda00dcb8236dbc5u);
  EXPECT_EQ(rate_client_hash(table_a, "2001:db8::1:2:3:4"), 0x3e6236b931b0ce85u);
}

}  // namespace
