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
       {std::string(1, '-').append(198, 'x').append("--L")},  // not "-" + ...: g++ 12 -Wrestrict
       "1 text/plain 7bit 202 part-001\n",
       "",
       0},
      {"enclosed messages are split in turn: a base64 image two forwards deep, CR LF",
       "Content-Type: multipart/mixed; boundary=f1\r\n\r\n--f1\r\n\r\nforwarding\r\n--f1\r\n"
       "Content-Type: message/rfc822\r\n\r\n"
       "Subject: Fwd\r\nContent-Type: multipart/mixed; boundary=f2\r\n\r\n--f2\r\n"
       "Content-Type: message/rfc822\r\n\r\n"
       "Subject: photo\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\n"
       "iVBORw==\r\n--f2--\r\n--f1\r\nContent-Type: text/plain\r\n\r\nlast\r\n--f1--\r\n",
       {"forwarding", "\x89PNG", "last"},
       "1 text/plain 7bit 10 part-001\n2 image/png base64 4 part-002\n"
       "3 text/plain 7bit 4 part-003\n",
       "",
       0},
      {"in a digest a part without a type is a message (RFC 2046 section 5.1.5)",
       "Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: one\n\nfirst\n"
       "--d\nContent-Type: text/plain\n\nsecond\n--d--\n",
       {"first", "second"},
       "1 text/plain 7bit 5 part-001\n2 text/plain 7bit 6 part-002\n",
       "",
       0},
      {"a header block ends at the first line that is neither a field nor a continuation",
       "Content-Type: multipart/mixed; boundary=h\n\n--h\nContent-Type: text/plain\n"
       "starts the body\nContent-Type: text/html\n--h\nContent-Transfer-Encoding: base64\n"
       "QUJD\nREVG\n--h\nContent-Transfer-Encoding: quoted-printable\n"
       "caf=C3=A9\n--h\nContent-Type: text/plain\nContent-Type: text/html\n \nX: y\n\nz\n--h--\n",
       {"starts the body\nContent-Type: text/html", "ABCDEF", "caf\xc3\xa9", "z"},
       "1 text/plain 7bit 39 part-001\n2 text/plain base64 6 part-002\n"
       "3 text/plain quoted-printable 5 part-003\n4 text/plain 7bit 1 part-004\n",
       "",
       0},
      {"RFC 2231 boundary in sections, with a charset and %-escapes",
       "Content-Type: multipart/mixed;\n boundary*0*=us-ascii'en'%3D_a;\n boundary*1=\"b c\"\n\n"
       "--=_ab c\n\nx\n--=_ab c--\n",
       {"x"},
       "1 text/plain 7bit 1 part-001\n",
       "",
       0},
      {"a CR LF that the 64 KiB line buffer would split still goes with the boundary",
       "Content-Type: multipart/mixed; boundary=s\r\n\r\n--s\r\n\r\n" + std::string(65533, 'y') +
           "\r\n--s--\r\n",
       {std::string(65533, 'y')},
       "1 text/plain 7bit 65533 part-001\n",
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
  std::string forwards;
  for (int i = 0; i < 17; ++i) forwards += "Content-Type: message/rfc822\n\n";
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
      {"messages enclosed 17 deep count in the same limit",
       forwards + "x\n",
       {},
       "",
       "nested more than 16 deep",
       1},
  };
  for (const auto &c : cases) run_case(c);
}

TEST(Mimesplit, ReportsUsageAndFileErrors) {
  const std::string dir = testing_support::make_temp_dir();
  auto r = run_program({MIMESPLIT_BIN, dir + "/message"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "usage: mimesplit [-n] MESSAGE DIRECTORY\n");

  r = run_program({MIMESPLIT_BIN, "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("message/rfc822"), std::string::npos) << r.out;

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

// -n: each hostile name gets a safe one, the listing says why, and nothing
// outside DIRECTORY is written or replaced.
TEST(Mimesplit, NamesFilesSafely) {
  const std::string dir = testing_support::make_temp_dir();
  const std::string parts = dir + "/parts";
  std::filesystem::create_directory(parts);
  write_file(dir + "/outside.txt", "keep");
  std::filesystem::create_symlink(dir + "/outside.txt", parts + "/link.txt");
  write_file(parts + "/part-009", "earlier run");
  std::string message = "Content-Type: multipart/mixed; boundary=n\n\n";
  const std::string dispositions[] = {
      "attachment; filename=\"../x\"",
      "attachment; filename=\"/etc/passwd\"",
      "attachment; filename=\"a/../../b\"",
      "attachment; filename=..",
      "attachment; filename*=utf-8''nul%00.txt",
      "attachment; filename=\"bell\a.txt\"",
      "attachment; filename=link.txt",
      "attachment; filename=same.txt",
      "inline",  // no name: numbered, and part-009 is taken
      "attachment; filename=same.txt",
      "attachment; filename*0=\"" + std::string(200, 'l') + "\"; filename*1=\"" +
          std::string(100, 'l') + ".txt\"",
      "attachment; filename=\"=?utf-8?q?caf=C3=A9.txt?=\"",
  };
  int i = 0;
  for (const auto &d : dispositions) {
    message += "--n\nContent-Disposition: " + d + "\n\nbody " + std::to_string(++i) + "\n";
  }
  message += "--n--\n";
  write_file(dir + "/message", message);
  const auto r = run_program({MIMESPLIT_BIN, "-n", dir + "/message", parts});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string long_name = std::string(251, 'l') + ".txt";
  EXPECT_EQ(r.out,
            "1 text/plain 7bit 6 x (renamed from \"../x\": directory part)\n"
            "2 text/plain 7bit 6 passwd (renamed from \"/etc/passwd\": directory part)\n"
            "3 text/plain 7bit 6 b (renamed from \"a/../../b\": directory part)\n"
            "4 text/plain 7bit 6 part-004 (renamed from \"..\": no usable name)\n"
            "5 text/plain 7bit 6 nul_.txt (renamed from \"nul\\x00.txt\": control bytes)\n"
            "6 text/plain 7bit 6 bell_.txt (renamed from \"bell\\x07.txt\": control bytes)\n"
            "7 text/plain 7bit 6 link-2.txt (renamed from \"link.txt\": name taken)\n"
            "8 text/plain 7bit 6 same.txt\n"
            "9 text/plain 7bit 6 part-009-2 (renamed from \"part-009\": name taken)\n"
            "10 text/plain 7bit 7 same-2.txt (renamed from \"same.txt\": name taken)\n"
            "11 text/plain 7bit 7 " +
                long_name + " (renamed from \"" + std::string(300, 'l') +
                ".txt\": too long)\n"
                "12 text/plain 7bit 7 caf\xc3\xa9.txt\n");
  EXPECT_EQ(read_file(dir + "/outside.txt"), "keep");
  EXPECT_TRUE(std::filesystem::is_symlink(parts + "/link.txt"));
  EXPECT_EQ(read_file(parts + "/part-009"), "earlier run");
  EXPECT_EQ(read_file(parts + "/link-2.txt"), "body 7");
  EXPECT_EQ(read_file(parts + "/" + long_name), "body 11");
  std::size_t outside = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir)) {
    outside += e.path().filename() != "parts";
  }
  EXPECT_EQ(outside, 2U);  // message and outside.txt
  std::size_t inside = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(parts)) ++inside;
  EXPECT_EQ(inside, 14U);  // the twelve parts, link.txt and part-009
  std::filesystem::remove_all(dir);
}

}  // namespace
