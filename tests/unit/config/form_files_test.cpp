#include "config/form_files.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FormNameFromPath, TakesOneSafeNameAfterTheProgram) {
  struct Case {
    const char* path_info;
    const char* script_name;
    FormPath result;
    const char* name;
  };
  const std::string longest(64, 'a');
  const std::string too_long(65, 'a');
  const std::string longest_path = "/" + longest;
  const std::string too_long_path = "/" + too_long;
  const Case cases[] = {
      {nullptr, nullptr, FormPath::kNone, ""},
      {"", nullptr, FormPath::kNone, ""},
      {"/", nullptr, FormPath::kNone, ""},
      {"/contact", nullptr, FormPath::kName, "contact"},
      {"/job-2_b", "/cgi-bin/quillon", FormPath::kName, "job-2_b"},
      {longest_path.c_str(), nullptr, FormPath::kName, longest.c_str()},
      // IIS includes the program's own path.
      {"/cgi-bin/quillon.exe/contact", "/cgi-bin/quillon.exe", FormPath::kName, "contact"},
      {"/cgi-bin/quillon.exe", "/cgi-bin/quillon.exe", FormPath::kNone, ""},
      {"/cgi-bin/quillon.exe.bak", "/cgi-bin/quillon.exe", FormPath::kInvalid, ""},
      {too_long_path.c_str(), nullptr, FormPath::kInvalid, ""},
      {"/..", nullptr, FormPath::kInvalid, ""},
      {"/%2e%2e", nullptr, FormPath::kInvalid, ""},
      {"//", nullptr, FormPath::kInvalid, ""},
      {"/a/b", nullptr, FormPath::kInvalid, ""},
      {"/contact/", nullptr, FormPath::kInvalid, ""},
      {"/Contact", nullptr, FormPath::kInvalid, ""},
      {"/a b", nullptr, FormPath::kInvalid, ""},
      {"/a\\b", nullptr, FormPath::kInvalid, ""},
      {"/caf\xc3\xa9", nullptr, FormPath::kInvalid, ""},
  };
  for (const Case& c : cases) {
    char name[kFormNameMax + 1] = "x";
    EXPECT_EQ(c.result, form_name_from_path(c.path_info, c.script_name, name))
        << (c.path_info ? c.path_info : "(none)");
    EXPECT_STREQ(c.name, name);
  }
}

TEST(FormFolderPath, LiesBesideTheSettingsFileUnlessAbsolute) {
  char out[100];
  ASSERT_TRUE(form_folder_path("/srv/cgi/quillon.ini", nullptr, false, out, sizeof out));
  EXPECT_STREQ("/srv/cgi/forms", out);
  ASSERT_TRUE(form_folder_path("quillon.ini", "site-forms", false, out, sizeof out));
  EXPECT_STREQ("site-forms", out);
  ASSERT_TRUE(form_folder_path("C:\\cgi\\quillon.ini", "f", false, out, sizeof out));
  EXPECT_STREQ("C:\\cgi\\f", out);
  ASSERT_TRUE(form_folder_path("/srv/cgi/quillon.ini", "/etc/forms", true, out, sizeof out));
  EXPECT_STREQ("/etc/forms", out);
  ASSERT_TRUE(form_file_path("/etc/forms/", "contact", out, sizeof out));
  EXPECT_STREQ("/etc/forms/contact.ini", out);
  EXPECT_FALSE(form_file_path("/etc/forms", "contact", out, 10));
}

}  // namespace
