#include "db/pg_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The pairs of a parsed address as "keyword=value " in order.
std::string pairs(const PgUrl& url) {
  std::string out;
  for (int i = 0; i < url.count; ++i) {
    out += std::string(url.keywords[i]) + "=" + url.values[i] + " ";
  }
  return out;
}

TEST(PgUrl, TakesTheOwnersFormsIntoKeywords) {
  static const struct {
    const char* text;
    const char* pairs;
  } cases[] = {
      {"postgresql://cgi@db.example.com/forms", "user=cgi host=db.example.com dbname=forms "},
      {"postgres://cgi@10.0.0.5:6432/forms", "user=cgi host=10.0.0.5 port=6432 dbname=forms "},
      {"postgresql://cgi@[::1]:5433/forms", "user=cgi host=::1 port=5433 dbname=forms "},
      {"postgresql://www%2Ddata@/forms?host=/run/postgresql&port=5433",
       "user=www-data dbname=forms host=/run/postgresql port=5433 "},
      {"postgresql://cgi@db/forms?sslmode=verify-full&sslrootcert=/etc/ssl/db%20ca.pem",
       "user=cgi host=db dbname=forms sslmode=verify-full sslrootcert=/etc/ssl/db ca.pem "},
      {"postgresql://cgi@db", "user=cgi host=db "},
  };
  for (const auto& c : cases) {
    PgUrl url;
    char error[kPgErrorSize] = "";
    ASSERT_TRUE(pg_url_parse(c.text, &url, error, sizeof error)) << c.text << ": " << error;
    EXPECT_EQ(pairs(url), c.pairs) << c.text;
  }
}

TEST(PgUrl, RefusesWhatWouldBypassTheOwnersFileOrIsMalformed) {
  static const struct {
    const char* text;
    const char* why;  // a part of the error
  } cases[] = {
      {"postgresql://cgi:secret@db/forms", "holds a password"},
      {"postgresql://cgi:@db/forms", "holds a password"},
      {"postgresql://db/forms", "names no user"},
      {"postgresql://@db/forms", "names no user"},
      {"mysql://cgi@db/forms", "does not begin with postgresql://"},
      {"postgresql://cgi@db/forms?password=secret", "parameter other than"},
      {"postgresql://cgi@db/forms?passfile=/tmp/x", "parameter other than"},
      {"postgresql://cgi@db/forms?options=-c%20x", "parameter other than"},
      {"postgresql://cgi@db/forms?sslmode", "parameter other than"},
      {"postgresql://cgi@db/forms?sslmode=sometimes", "unknown sslmode"},
      {"postgresql://cgi@db:5432/forms?port=5433", "port twice"},
      {"postgresql://cgi@db:99999/forms", "bad port"},
      {"postgresql://cgi@db:/forms", "empty port"},
      {"postgresql://c%4@db/forms", "bad %-escape"},
      {"postgresql://c%00gi@db/forms", "NUL byte"},
      {"postgresql://cgi@[::1/forms", "bad [IPv6]"},
  };
  for (const auto& c : cases) {
    PgUrl url;
    char error[kPgErrorSize] = "";
    EXPECT_FALSE(pg_url_parse(c.text, &url, error, sizeof error)) << c.text;
    EXPECT_NE(std::string(error).find(c.why), std::string::npos) << c.text << ": " << error;
    // The password never reaches the error line.
    EXPECT_EQ(std::string(error).find("secret"), std::string::npos) << c.text;
  }
}

TEST(PgUrl, AnAddressTooLongForTheAreaIsRefusedNotCut) {
  std::string text = "postgresql://cgi@db/" + std::string(kPgUrlArea, 'd');
  PgUrl url;
  char error[kPgErrorSize] = "";
  EXPECT_FALSE(pg_url_parse(text.c_str(), &url, error, sizeof error));
  EXPECT_NE(std::string(error).find("too long"), std::string::npos);
}

}  // namespace
