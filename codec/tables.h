// Lookup tables shared by the byte-wise coders and the block paths.
#ifndef OCTAFOLD_TABLES_H
#define OCTAFOLD_TABLES_H

#include <array>
#include <cstddef>

namespace octafold {

inline constexpr std::array<char, 64> base64_digits = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};
static_assert(base64_digits[25] == 'Z' && base64_digits[51] == 'z' && base64_digits[61] == '9' &&
              base64_digits[63] == '/');

// Bytes outside the alphabet take this value and enter the decoder's
// arithmetic as eight set bits.
inline constexpr unsigned char kNotBase64 = 0xFF;

// Indexed by any byte value; 128 and above are never in the alphabet.
constexpr std::array<unsigned char, 256> make_base64_values() {
  std::array<unsigned char, 256> t{};
  for (auto &v : t) v = kNotBase64;
  for (unsigned char i = 0; i < 64; ++i) t[static_cast<unsigned char>(base64_digits[i])] = i;
  return t;
}
inline constexpr std::array<unsigned char, 256> base64_values = make_base64_values();
static_assert(base64_values['A'] == 0 && base64_values['z'] == 51 && base64_values['/'] == 63 &&
              base64_values['='] == kNotBase64 && base64_values['-'] == kNotBase64 &&
              base64_values[0xC1] == kNotBase64);

inline constexpr std::array<char, 16> hex_digits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                    '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
static_assert(hex_digits[15] == 'F', "escapes use upper-case digits");

// -1 for every byte that is not a hexadecimal digit, 128 and above included.
constexpr std::array<signed char, 256> make_hex_values() {
  std::array<signed char, 256> t{};
  for (auto &v : t) v = -1;
  for (int i = 0; i < 10; ++i) t[static_cast<std::size_t>('0' + i)] = static_cast<signed char>(i);
  for (int i = 0; i < 6; ++i) {
    t[static_cast<std::size_t>('A' + i)] = static_cast<signed char>(10 + i);
    t[static_cast<std::size_t>('a' + i)] = static_cast<signed char>(10 + i);
  }
  return t;
}
inline constexpr std::array<signed char, 256> hex_values = make_hex_values();
static_assert(hex_values['9'] == 9 && hex_values['F'] == 15 && hex_values['f'] == 15 &&
              hex_values['G'] == -1 && hex_values['='] == -1 && hex_values[0xB0] == -1);

// The C locale's white space; bytes of 128 and more are never white space.
constexpr bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The byte an escape "=" h l stands for: a non-digit counts as -1, so a bad
// high digit gives 0xF0 + low and a bad low digit gives 0xFF.
constexpr unsigned char qp_escaped_byte(unsigned char high, unsigned char low) {
  const auto h = static_cast<unsigned>(hex_values[high]);
  const auto l = static_cast<unsigned>(hex_values[low]);
  return static_cast<unsigned char>(((h << 4) | l) & 0xFF);
}
static_assert(qp_escaped_byte('z', '1') == 0xF1 && qp_escaped_byte('1', 'z') == 0xFF &&
              qp_escaped_byte('a', 'B') == 0xAB);

}  // namespace octafold

#endif
