// Quoted-printable round trip: whatever the input, the encoded text must be
// what RFC 2045 allows on the wire (printable ASCII, escapes with upper-case
// digits, lines of at most 76 characters, no blank or tab before a line
// end), and decoding it must give the input back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "harness.h"
#include "octafold.h"

namespace {

constexpr std::size_t kMaxLine = 76;  // characters before the LF, "=" included

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void check_encoded_text(std::string_view text) {
  std::size_t column = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      fuzz::check(column == 0 || (text[i - 1] != ' ' && text[i - 1] != '\t'),
                  "blank or tab before a line end");
      column = 0;
      continue;
    }
    fuzz::check(c == '\t' || (c >= ' ' && c <= '~'), "byte outside printable ASCII");
    fuzz::check(++column <= kMaxLine, "encoded line longer than 76 characters");
    if (c == '=') {
      const bool soft_break = i + 1 < text.size() && text[i + 1] == '\n';
      const bool escape =
          i + 2 < text.size() && is_upper_hex(text[i + 1]) && is_upper_hex(text[i + 2]);
      fuzz::check(soft_break || escape, "\"=\" neither escape nor soft line break");
    }
  }
  fuzz::check(text.empty() || text.back() == '\n', "encoded text does not end with LF");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input = fuzz::bytes(data, size);
  const std::string encoded = fuzz::run(input, [](FILE *in, FILE *out) { toqp(in, out); });
  check_encoded_text(encoded);
  const std::string decoded =
      fuzz::run(encoded, [](FILE *in, FILE *out) { fromqp(in, out, nullptr, nullptr); });
  fuzz::check(decoded == input, "fromqp(toqp(x)) != x");
  return 0;
}
