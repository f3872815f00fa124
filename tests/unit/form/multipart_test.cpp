#include "form/multipart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "form/content_type.h"
#include "form/upload_split.h"

namespace {

// Every field as name=value, files as name[file name;type]=bytes, and
// warnings as !text, separated by '|'.
struct Seen {
  std::string out;
  int fields = 0;
  void add(const std::string& item) { out += (out.empty() ? "" : "|") + item; }
};

void on_text(void* context, const char* name, size_t name_length, const char* value,
             size_t value_length) {
  ++static_cast<Seen*>(context)->fields;
  static_cast<Seen*>(context)->add(std::string(name, name_length) + "=" +
                                   std::string(value, value_length));
}

void on_file(void* context, const MultipartFile* f) {
  ++static_cast<Seen*>(context)->fields;
  static_cast<Seen*>(context)->add(std::string(f->name, f->name_length) + "[" +
                                   std::string(f->file_name, f->file_name_length) + ";" +
                                   f->content_type + "]=" + std::string(f->data, f->size));
}

void on_warning(void* context, const char* message) {
  static_cast<Seen*>(context)->add(std::string("!") + message);
}

// The text parts' cap in these cases.
constexpr size_t kMaxText = 100;

std::string decode_whole(const std::string& body, const char* boundary, int max_fields,
                         int* dropped);

// The same body read in blocks of `block` bytes through the split: the
// files' bytes come back from the scratch file.
struct SplitSeen {
  Seen seen;
  const UploadSplit* split;
  const char* kept;
};

void on_split_file(void* context, const MultipartFile* f) {
  SplitSeen* s = static_cast<SplitSeen*>(context);
  std::string bytes(f->data, f->size);
  for (int i = 0; i < s->split->piece_count; ++i) {
    const UploadPiece& p = s->split->pieces[i];
    if (p.at != static_cast<size_t>(f->data - s->kept) || f->size != 0) continue;
    bytes.resize(static_cast<size_t>(p.size));
    if (p.size > 0) {
      EXPECT_EQ(p.size, os_stream_read_at(&s->split->scratch, p.offset, &bytes[0], bytes.size()));
    }
  }
  MultipartFile whole = *f;
  whole.data = bytes.data();
  whole.size = bytes.size();
  on_file(&s->seen, &whole);
}

std::string decode_split(const std::string& body, const char* boundary, int max_fields,
                         size_t block) {
  UploadSplit split;
  upload_split_start(&split, boundary);
  for (size_t at = 0; at < body.size(); at += block) {
    EXPECT_TRUE(upload_split_feed(&split, body.data() + at, std::min(block, body.size() - at)));
  }
  EXPECT_TRUE(upload_split_finish(&split));
  SplitSeen seen{{}, &split, split.kept};
  MultipartSink sink = {on_text, on_split_file, on_warning, &seen};
  MultipartResult result;
  bool ok = multipart_decode(split.kept, split.kept_length, boundary, max_fields, kMaxText, &sink,
                             &result);
  std::string out = ok ? seen.seen.out
                       : "error: " + std::string(result.error) + " @" +
                             std::to_string(upload_split_body_offset(&split, result.error_offset));
  upload_split_free(&split);
  return out;
}

std::string decode(const std::string& body, const char* boundary = "XyZ", int max_fields = 1000,
                   int* dropped = nullptr) {
  std::string whole = decode_whole(body, boundary, max_fields, dropped);
  // Read in blocks, with the files cut out, the body decodes the same.
  for (size_t block : {static_cast<size_t>(1), static_cast<size_t>(7), static_cast<size_t>(65536)}) {
    EXPECT_EQ(whole, decode_split(body, boundary, max_fields, block)) << "blocks of " << block;
  }
  return whole;
}

std::string decode_whole(const std::string& body, const char* boundary, int max_fields,
                         int* dropped) {
  Seen seen;
  MultipartSink sink = {on_text, on_file, on_warning, &seen};
  MultipartResult result;
  bool ok =
      multipart_decode(body.data(), body.size(), boundary, max_fields, kMaxText, &sink, &result);
  if (dropped != nullptr) *dropped = result.dropped;
  if (!ok) {
    EXPECT_EQ("", seen.out) << "fields handed over from a bad body";
    return "error: " + std::string(result.error) + " @" + std::to_string(result.error_offset);
  }
  EXPECT_EQ(seen.fields, result.fields);
  return seen.out;
}

std::string part(const std::string& disposition, const std::string& value,
                 const std::string& extra = "") {
  return "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n" + extra + "\r\n" +
         value + "\r\n";
}

TEST(MultipartDecode, DecodesEveryBodyShape) {
  const std::string end = "--XyZ--\r\n";
  struct Case {
    std::string body;
    std::string expected;
  };
  const Case cases[] = {
      {"preamble\r\n" + part("name=\"a\"", "1") + part("name=b", "x\r\ny\nz") + end + "epilogue",
       "a=1|b=x\ny\nz"},
      // Bare LF line ends throughout, padding after a delimiter, a closing
      // delimiter at the very end.
      {"--XyZ \t\nContent-Disposition: form-data; name=a\n\nv\n--XyZ--", "a=v"},
      // Boundary-like lines that are not delimiters stay in the value.
      {part("name=a", "--XyZx\r\n--XyZ-\r\n --XyZ\r\n-XyZ") + end,
       "a=--XyZx\n--XyZ-\n --XyZ\n-XyZ"},
      {part("name=f; filename=\"a.bin\"", std::string("\r\n\0\r\n", 5),
            "Content-Type: Image/PNG; x=1\r\n") +
           end,
       std::string("f[a.bin;image/png]=\r\n\0\r\n", 24)},
      {part("name=f; filename=\"\"", "", "Content-Type: application/octet-stream\r\n") + end,
       "f[;application/octet-stream]="},
      {part("name=f; filename=\"r\xC3\xA9sum\xC3\xA9.pdf\"", "%") + end,
       "f[r\xC3\xA9sum\xC3\xA9.pdf;application/octet-stream]=%"},
      {part("name=f; filename=\"x.txt\"; filename*=UTF-8''%E2%82%AC.txt", "") + end,
       "f[\xE2\x82\xAC.txt;application/octet-stream]="},
      // Folded header, header names in any case.
      {"--XyZ\r\ncontent-DISPOSITION: form-data;\r\n name=\"a\"\r\n\r\n1\r\n" + end, "a=1"},
      {part("name=a", "caf\xE9", "Content-Type: text/plain; charset=ISO-8859-1\r\n") + end,
       "a=caf\xC3\xA9"},
      {part("name=_charset_", "iso-8859-1") + part("name=a", "\xE9") + end,
       "_charset_=iso-8859-1|a=\xC3\xA9"},
      {part("name=a", "\x82\xA0", "Content-Type: text/plain; charset=Shift_JIS\r\n") + end,
       "!field \"a\": charset \"shift_jis\" is not converted, its bytes are kept|a=\x82\xA0"},
      {part("name=a", "\xE9") + end,
       "!field \"a\": value is not valid UTF-8, its bytes are kept|a=\xE9"},
      // The visitor's name and charset reach the warning escaped.
      {part("name*=UTF-8''a%0D%0Aoutcome%3A%20sent%1B[1m", "\xE9") + end,
       "!field \"a\\r\\noutcome: sent\\x1B[1m\": value is not valid UTF-8, its bytes are kept|"
       "a\r\noutcome: sent\x1B[1m=\xE9"},
      {part("name=a", "1", "Content-Type: text/plain; charset=\"x\ry\"\r\n") + end,
       "!field \"a\": charset \"x\\ry\" is not converted, its bytes are kept|a=1"},
      // The text parts hold kMaxText bytes in all; files are not counted.
      {part("name=a", std::string(60, 'x')) + part("name=b", std::string(40, 'y')) +
           part("name=f; filename=\"f\"", std::string(200, 'z')) + end,
       "a=" + std::string(60, 'x') + "|b=" + std::string(40, 'y') +
           "|f[f;application/octet-stream]=" + std::string(200, 'z')},
      {part("name=a", std::string(60, 'x')) + part("name=b", std::string(41, 'y')) + end,
       "error: text fields over their cap @0"},
      {"--XyZ--\r\n", ""},
      {part("name=a", "1"), "error: no closing boundary @52"},
      {part("name=a", "1") + "--XyZ--x", "error: no closing boundary @60"},
      {"no delimiter here", "error: no boundary in the body @0"},
      {part("filename=a", "1") + end, "error: part without a form-data name @7"},
      {"--XyZ\r\nContent-Type: text/plain\r\n\r\n1\r\n" + end,
       "error: part without a form-data name @7"},
      {part("name=\"a", "1") + end, "error: malformed part header @7"},
      {"--XyZ\r\nno colon\r\n\r\n1\r\n" + end, "error: malformed part header @7"},
      {part("name=a", "1", "X-Pad: " + std::string(16384, 'x') + "\r\n") + end,
       "error: part headers too long @7"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, decode(c.body)) << c.body;
  EXPECT_EQ("error: invalid boundary @0", decode(part("name=a", "1") + end, ""));
}

TEST(MultipartDecode, CountsPartsBeyondTheLimit) {
  std::string body;
  for (int i = 0; i < 5; ++i) body += part("name=n" + std::to_string(i), "v");
  int dropped = 0;
  EXPECT_EQ("n0=v|n1=v|n2=v", decode(body + "--XyZ--\r\n", "XyZ", 3, &dropped));
  EXPECT_EQ(2, dropped);
}

// Bodies as curl -F and python3-requests build them (fixtures/capture.py).
TEST(MultipartDecode, ReadsWhatRealClientsSend) {
  for (const char* client : {"curl", "requests"}) {
    std::ifstream in(std::string(QUILLON_FORM_FIXTURES) + "/" + client + "_form.bin",
                     std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(body.size(), 2u) << client;
    std::string boundary = body.substr(2, body.find("\r\n") - 2);
    EXPECT_EQ(
        "name=Zo\xC3\xAB|message=two\nlines|upload[r\xC3\xA9sum\xC3\xA9.pdf;application/pdf]="
        "line1\r\n--not-a-boundary\r\n" +
            std::string("\0\x01\xff binary\n", 11),
        decode(body, boundary.c_str()))
        << client;
  }
}

TEST(HeaderParam, ReadsTypesAndParameters) {
  struct Case {
    const char* value;
    const char* param;
    const char* expected;  // the type when param is null; "-" absent, "!" malformed
  };
  const Case cases[] = {
      {" Multipart/Form-Data ; boundary=x", nullptr, "multipart/form-data"},
      {"text/plain/x", nullptr, "!"},
      {"te xt/plain", nullptr, "!"},
      {"", nullptr, "!"},
      {"multipart/form-data; BOUNDARY=\"a b=c\"", "boundary", "a b=c"},
      {"multipart/form-data; boundary=----WebKitFormBoundary7MA4", "boundary",
       "----WebKitFormBoundary7MA4"},
      {"form-data; name=\"q\\\"x\\\\y\"; filename=\"C:\\dir\\a.txt\"", "name", "q\"x\\y"},
      {"form-data; name=\"q\"; filename=\"C:\\dir\\a.txt\"", "filename", "C:\\dir\\a.txt"},
      {"form-data; filename*=iso-8859-1'en'%E9t%E9.txt; filename=x", "filename",
       "\xC3\xA9t\xC3\xA9.txt"},
      {"form-data; filename*=UTF-8''%C3", "filename", "!"},
      {"form-data; filename*=koi8-r''%C3", "filename", "!"},
      {"form-data; name=a; name=b;", "name", "a"},
      {"form-data; name=a", "filename", "-"},
      {"form-data; name", "name", "!"},
      {"form-data; name=\"a", "name", "!"},
      {"form-data name=a", nullptr, "!"},
  };
  for (const Case& c : cases) {
    size_t length = strlen(c.value);
    std::string out(2 * length + 1, '\0');
    std::string got;
    if (c.param == nullptr) {
      got = header_type(c.value, length, &out[0], out.size()) ? out.c_str() : "!";
    } else {
      size_t n = 0;
      HeaderParam r = header_param(c.value, length, c.param, &out[0], out.size(), &n);
      got = r == HeaderParam::kFound ? out.substr(0, n) : r == HeaderParam::kAbsent ? "-" : "!";
    }
    EXPECT_EQ(c.expected, got) << c.value;
  }
}

}  // namespace
