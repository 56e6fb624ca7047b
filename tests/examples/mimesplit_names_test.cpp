// The header field and file-name rules of mimesplit, called directly:
// hostile file names first, then RFC 2231 parameters and RFC 2047 words.
#include <gtest/gtest.h>

#include <string>

#include "mime_fields.h"
#include "safe_name.h"

namespace {

using namespace mimesplit;

TEST(MimesplitNames, HostileNamesBecomeSafe) {
  const std::string long_ascii = std::string(300, 'a') + ".pdf";
  std::string long_utf8;
  for (int i = 0; i < 200; ++i) long_utf8 += "\xc3\xa9";  // 400 bytes of "é"
  const struct {
    std::string name;
    std::string safe;  // "" means: fall back to the numbered name
    unsigned changes;
  } cases[] = {
      {"../x", "x", kDirectoryPart},
      {"/etc/passwd", "passwd", kDirectoryPart},
      {"a/../../b", "b", kDirectoryPart},
      {"..\\..\\win.ini", "win.ini", kDirectoryPart},
      {"C:\\Users\\x\\report.doc", "report.doc", kDirectoryPart},
      {".", "", kNothingLeft},
      {"..", "", kNothingLeft},
      {"....", "", kNothingLeft},
      {"a/..", "", kDirectoryPart | kNothingLeft},
      {"dir/", "", kDirectoryPart | kNothingLeft},
      {"", "", kNothingLeft},
      {std::string("x\0.txt", 6), "x_.txt", kControlBytes},
      {"a\nb\x1b[31m\x7f", "a_b_[31m_", kControlBytes},
      {"../\t", "_", kDirectoryPart | kControlBytes},
      {long_ascii, std::string(251, 'a') + ".pdf", kTooLong},
      // Cut at 254 bytes: the 255th would split a character.
      {long_utf8, long_utf8.substr(0, 254), kTooLong},
      {std::string(300, 'b'), std::string(255, 'b'), kTooLong},
      // Names that stay as they are.
      {"report.pdf", "report.pdf", 0},
      {".bashrc", ".bashrc", 0},
      {"na\xc3\xafve r\xc3\xa9sum\xc3\xa9.pdf", "na\xc3\xafve r\xc3\xa9sum\xc3\xa9.pdf", 0},
      {"-rf", "-rf", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    char out[kNameMax + 1];
    EXPECT_EQ(safe_name(c.name.data(), c.name.size(), out), c.changes);
    EXPECT_EQ(std::string(out), c.safe);
  }
}

TEST(MimesplitNames, ReadsParametersAsRfc2045And2231Say) {
  const struct {
    const char *field;
    const char *param;
    Param status;
    std::string value;
  } cases[] = {
      {"multipart/mixed; boundary=simple", "boundary", Param::found, "simple"},
      {"multipart/mixed; BOUNDARY = \"a \\\"quoted\\\" one\"", "boundary", Param::found,
       "a \"quoted\" one"},
      {"multipart/mixed (c; boundary=no); (x) boundary (y) = (z) abc (w)", "boundary", Param::found,
       "abc"},
      {"multipart/mixed; boundary=----=_Next/Part", "boundary", Param::found, "----=_Next/Part"},
      {"multipart/mixed; boundary=a; boundary=b", "boundary", Param::found, "a"},
      {"multipart/mixed; charset=x", "boundary", Param::missing, ""},
      {"multipart/mixed; boundary=\"unterminated", "boundary", Param::missing, ""},
      {"multipart/mixed; boundary*=us-ascii'en'a%2Db", "boundary", Param::found, "a-b"},
      {"multipart/mixed;\t boundary*1=\"two\"; boundary*0*=us-ascii''one%2D", "boundary",
       Param::found, "one-two"},
      {"attachment; filename*0*=utf-8''%C3%A9; filename*1=x%41", "filename", Param::found,
       "\xc3\xa9x%41"},
      {"attachment; filename*=iso-8859-1'fr'%E9t%E9.txt", "filename", Param::found,
       "\xc3\xa9t\xc3\xa9.txt"},
      {"attachment; filename*=utf-8''a%00b", "filename", Param::found, std::string("a\0b", 3)},
      {"attachment; filename=\"plain.txt\"; filename*=utf-8''ext.txt", "filename", Param::found,
       "plain.txt"},
      {"attachment; filename*=utf-8''%zz%4", "filename", Param::found, "%zz%4"},
      {"text/plain; name=a; filename=b", "filename", Param::found, "b"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.field);
    char out[64];
    std::size_t length = 0;
    EXPECT_EQ(find_param(c.field, c.param, out, sizeof out, &length), c.status);
    EXPECT_EQ(std::string(out, length), c.value);
  }
  char small[4];
  std::size_t length = 0;
  EXPECT_EQ(find_param("a/b; name=toolong", "name", small, sizeof small, &length), Param::too_long);
  EXPECT_EQ(std::string(small), "too");

  char type[32];
  EXPECT_TRUE(media_type(" Text / Plain (a comment); charset=x", type, sizeof type));
  EXPECT_EQ(std::string(type), "text/plain");
  EXPECT_FALSE(media_type("text", type, sizeof type));
  EXPECT_FALSE(media_type("/plain", type, sizeof type));
}

TEST(MimesplitNames, DecodesRfc2047Words) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"=?utf-8?q?caf=C3=A9_au_lait.txt?=", "caf\xc3\xa9 au lait.txt"},
      {"=?UTF-8?B?w7xiZXIudHh0?=",
       "\xc3\xbc"
       "ber.txt"},
      {"=?iso-8859-1?q?=E9t=E9?=", "\xc3\xa9t\xc3\xa9"},
      {"=?utf-8*en?q?a?= \t =?utf-8?q?b?=", "ab"},  // blanks between words go
      {"x =?utf-8?q?a?= y", "x a y"},
      {"=?utf-8?x?abc?= =?bad", "=?utf-8?x?abc?= =?bad"},
      {"no words", "no words"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in);
    char out[64];
    const std::size_t n = decode_words(c.in.data(), c.in.size(), out, sizeof out);
    EXPECT_EQ(std::string(out, n), c.out);
  }
}

}  // namespace
