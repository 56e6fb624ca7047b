// Base64 round trip, with and without the portable flag: the encoder must
// match a plain reference encoding of RFC 2045 (72-character lines, each
// ended by LF), and the decoder must give every input back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "harness.h"
#include "octafold.h"

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kGroupsPerLine = 18;  // 72 characters

std::string reference_to64(std::string_view data) {
  std::string out;
  std::size_t groups = 0;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    const std::size_t have = data.size() - i < 3 ? data.size() - i : 3;
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const auto byte = k < have ? static_cast<unsigned char>(data[i + k]) : 0U;
      bits = (bits << 8) | byte;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= have ? kAlphabet[(bits >> (18 - 6 * k)) & 0x3F] : '=');
    }
    if (++groups % kGroupsPerLine == 0) out.push_back('\n');
  }
  if (groups % kGroupsPerLine != 0) out.push_back('\n');
  return out;
}

// What the portable encoder encodes: every LF as CR LF.
std::string with_crlf(std::string_view data) {
  std::string s;
  for (const char c : data) {
    if (c == '\n') s.push_back('\r');
    s.push_back(c);
  }
  return s;
}

std::string encode(std::string_view data, int portable) {
  return fuzz::run(data, [portable](FILE *in, FILE *out) { to64(in, out, portable); });
}

std::string decode(std::string_view text, int portable) {
  return fuzz::run(
      text, [portable](FILE *in, FILE *out) { from64(in, out, nullptr, nullptr, portable); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input = fuzz::bytes(data, size);

  const std::string plain = encode(input, 0);
  fuzz::check(plain == reference_to64(input), "to64 differs from the reference encoding");
  fuzz::check(decode(plain, 0) == input, "from64(to64(x)) != x");

  const std::string expanded = with_crlf(input);
  const std::string portable = encode(input, 1);
  fuzz::check(portable == reference_to64(expanded), "portable to64 does not encode LF as CR LF");
  fuzz::check(decode(portable, 1) == input, "portable round trip lost or changed bytes");
  fuzz::check(decode(portable, 0) == expanded, "from64 without -p changed CR LF");
  return 0;
}
