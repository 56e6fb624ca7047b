// mimesplit run as a user runs it, on multipart messages written here:
// which files it writes, what it prints, and how it refuses bad messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::write_file;

struct Case {
  const char *name;
  std::string message;
  std::vector<std::string> parts;  // expected contents of part-001, part-002, ...
  std::string out;                 // expected standard output
  std::string err;                 // a text standard error must hold; "" means it stays empty
  int status;
};

std::string part_path(const std::string &dir, std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "/part-%03zu", index);
  return dir + name;
}

void run_case(const Case &c) {
  SCOPED_TRACE(c.name);
  const std::string dir = testing_support::make_temp_dir();
  write_file(dir + "/message", c.message);
  const auto r = run_program({MIMESPLIT_BIN, dir + "/message", dir + "/parts"});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, c.out);
  if (c.err.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  for (std::size_t i = 0; i < c.parts.size(); ++i) {
    EXPECT_EQ(read_file(part_path(dir + "/parts", i + 1)), c.parts[i]) << "part " << i + 1;
  }
  EXPECT_FALSE(std::filesystem::exists(part_path(dir + "/parts", c.parts.size() + 1)));
  std::filesystem::remove_all(dir);
}

const std::string kBinary("\x00\xff\r\n-\x80", 6);  // base64 "AP8NCi2A"

TEST(Mimesplit, SplitsAndDecodesWellFormedMessages) {
  const Case cases[] = {
      {"one part of each encoding, with preamble and epilogue",
       "From: a@example.org\n"
       "MIME-Version: 1.0\n"
       "Content-Type: multipart/mixed; boundary=XX\n"
       "\n"
       "This is the preamble.\n"
       "--XX\n"
       "Content-Type: text/plain\n"
       "\n"
       "plain text\n"
       "- a line with a dash\n"
       "--XX\n"
       "Content-Type: application/octet-stream\n"
       "Content-Transfer-Encoding: base64\n"
       "\n"
       "AP8NCi2A\n"
       "--XX\n"
       "Content-Type: text/plain; charset=utf-8\n"
       "Content-Transfer-Encoding: quoted-printable\n"
       "\n"
       "caf=C3=A9 and a soft=\n"
       "break\n"
       "\n"
       "--XX--\n"
       "This is the epilogue.\n"
       "--XX\n",
       {"plain text\n- a line with a dash", kBinary, "caf\xc3\xa9 and a softbreak\n"},
       "1 text/plain 7bit 31 part-001\n2 application/octet-stream base64 6 part-002\n"
       "3 text/plain quoted-printable 22 part-003\n",
       "",
       0},
      {"nested multiparts, inner epilogue, outer part after the inner close",
       "Content-Type: multipart/mixed; boundary=outer\n"
       "\n"
       "--outer\n"
       "Content-Type: multipart/alternative; boundary=inner\n"
       "\n"
       "inner preamble\n"
       "--inner\n"
       "Content-Type: text/plain\n"
       "Content-Transfer-Encoding: quoted-printable\n"
       "\n"
       "Gr=C3=BC=C3=9Fe\n"
       "--inner\n"
       "Content-Type: text/html\n"
       "Content-Transfer-Encoding: base64\n"
       "\n"
       "PHA+aGk8L3A+\n"
       "--inner--\n"
       "inner epilogue\n"
       "--outer\n"
       "Content-Type: image/png\n"
       "Content-Transfer-Encoding: BASE64\n"
       "\n"
       "iVBORw==\n"
       "--outer--\n",
       {"Gr\xc3\xbc\xc3\x9f"
        "e",
        "<p>hi</p>", "\x89PNG"},
       "1 text/plain quoted-printable 7 part-001\n2 text/html base64 9 part-002\n3 image/png "
       "base64 4 part-003\n",
       "",
       0},
      {"an outer close ends an inner multipart that never closed",
       "Content-Type: multipart/mixed; boundary=a\n"
       "\n"
       "--a\n"
       "Content-Type: multipart/mixed; boundary=b\n"
       "\n"
       "--b\n"
       "\n"
       "x\n"
       "--a--\n",
       {"x"},
       "1 text/plain 7bit 1 part-001\n",
       "",
       0},
      {"quoted boundary with blanks, padded boundary lines, folded header with a comment",
       "content-TYPE: Multipart/Mixed (a comment);\n"
       "\tboundary=\"=_b o(u)n:d?'\"\n"
       "\n"
       "--=_b o(u)n:d?'   \n"
       "Content-Type: text/plain\n"
       "\n"
       "first\n"
       "--=_b o(u)n:d?'\t\n"
       "\n"
       "second\n"
       "--=_b o(u)n:d?'-- \n",
       {"first", "second"},
       "1 text/plain 7bit 5 part-001\n2 text/plain 7bit 6 part-002\n",
       "",
       0},
      {"two separator lines in a row enclose no part; empty headers and body make one",
       "Content-Type: multipart/mixed; boundary=e\n"
       "\n"
       "--e\n"
       "--e\n"
       "\n"
       "--e\n"
       "Content-Transfer-Encoding: base64\n"
       "\n"
       "--e--\n",
       {"", ""},
       "1 text/plain 7bit 0 part-001\n2 text/plain base64 0 part-002\n",
       "",
       0},
      {"CR LF line ends: the CR LF before a boundary belongs to it",
       "Content-Type: multipart/mixed; boundary=c\r\n"
       "\r\n"
       "--c\r\n"
       "Content-Type: text/plain\r\n"
       "\r\n"
       "one\r\ntwo\r\n\r\n"
       "--c\r\n"
       "Content-Transfer-Encoding: base64\r\n"
       "\r\n"
       "QUJD\r\n"
       "--c--\r\n",
       {"one\r\ntwo\r\n", "ABC"},
       "1 text/plain 7bit 10 part-001\n2 text/plain base64 3 part-002\n",
       "",
       0},
      {"the rest of a long line that begins with a dash is not a line start",
       "Content-Type: multipart/mixed; boundary=L\n"
       "\n"
       "--L\n"
       "\n-" +
           std::string(198, 'x') + "--L\n--L--\n",
       {"-" + std::string(198, 'x') + "--L"},
       "1 text/plain 7bit 202 part-001\n",
       "",
       0},
      {"a message that is not multipart is one part",
       "Subject: note\nContent-Transfer-Encoding: quoted-printable\n\nline=3D1\n-- \nsig\n",
       {"line=1\n-- \nsig\n"},
       "1 text/plain quoted-printable 15 part-001\n",
       "",
       0},
      {"unknown transfer encodings are copied as they are",
       "Content-Type: multipart/mixed; boundary=u\n\n--u\n"
       "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 f\n--u--\n",
       {"begin 644 f"},
       "1 text/plain x-uuencode 11 part-001\n",
       "",
       0},
  };
  for (const auto &c : cases) run_case(c);
}

TEST(Mimesplit, RefusesMalformedMessages) {
  const std::string long_header = "X-Long: " + std::string(991, 'h') + "\n";  // 999 characters
  const std::string ok_header = "X-Long: " + std::string(990, 'h') + "\n";    // 998 characters
  std::string deep;
  for (int i = 0; i < 17; ++i) {
    // "d1x" and "d10x": no boundary begins with another (RFC 2046 section 5.1.1).
    deep += "Content-Type: multipart/mixed; boundary=d" + std::to_string(i) + "x\n\n--d" +
            std::to_string(i) + "x\n";
  }
  const Case cases[] = {
      {"multipart without a boundary parameter",
       "Content-Type: multipart/mixed; charset=x\n\n--x\n\n--x--\n",
       {},
       "",
       "multipart/mixed has no boundary parameter",
       1},
      {"the first boundary line never comes",
       "Content-Type: multipart/mixed; boundary=n\n\nonly a preamble\n--m\n",
       {},
       "",
       "no boundary line \"--n\"",
       1},
      {"a multipart whose headers end the input",
       "Content-Type: multipart/mixed; boundary=n\n",
       {},
       "",
       "ends before its first boundary",
       1},
      {"the closing line never comes; the part read so far is kept",
       "Content-Type: multipart/mixed; boundary=n\n\n--n\nContent-Transfer-Encoding: base64\n\n"
       "QUJD\n",
       {"ABC"},
       "1 text/plain base64 3 part-001\n",
       "ends without its closing line \"--n--\"",
       1},
      {"a header line longer than 998 characters",
       long_header + "\nbody\n",
       {},
       "",
       "header line longer than 998 characters",
       1},
      {"a header line of 998 characters is fine",
       ok_header + "\nbody\n",
       {"body\n"},
       "1 text/plain 7bit 5 part-001\n",
       "",
       0},
      {"a boundary of 71 characters",
       "Content-Type: multipart/mixed; boundary=" + std::string(71, 'b') + "\n\n",
       {},
       "",
       "must have 1 to 70 characters",
       1},
      {"multiparts nested 17 deep", deep, {}, "", "nested more than 16 deep", 1},
  };
  for (const auto &c : cases) run_case(c);
}

TEST(Mimesplit, ReportsUsageAndFileErrors) {
  const std::string dir = testing_support::make_temp_dir();
  auto r = run_program({MIMESPLIT_BIN, dir + "/message"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: mimesplit [-n] MESSAGE DIRECTORY\n");

  r = run_program({MIMESPLIT_BIN, dir + "/missing", dir + "/parts"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("mimesplit: " + dir + "/missing: No such file or directory"),
            std::string::npos)
      << r.err;

  write_file(dir + "/file", "not a directory");
  r = run_program({MIMESPLIT_BIN, "-", dir + "/file"}, "body\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(dir + "/file: Not a directory"), std::string::npos) << r.err;

  // Standard input, and a directory that already exists.
  r = run_program({MIMESPLIT_BIN, "-", dir}, "Content-Transfer-Encoding: base64\n\nQUJD\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 text/plain base64 3 part-001\n");
  EXPECT_EQ(read_file(dir + "/part-001"), "ABC");
  std::filesystem::remove_all(dir);
}

}  // namespace
