#include "mime_fields.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace mimesplit {
namespace {

bool is_token_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 32 && u < 127 && std::strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

bool same_ignoring_case(const char *a, std::size_t n, const char *b) {
  if (std::strlen(b) != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != static_cast<unsigned char>(b[i]))
      return false;
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends bytes to a fixed buffer, remembering when one did not fit.
struct Output {
  char *data;
  std::size_t size;  // room for size - 1 bytes and a NUL
  std::size_t used = 0;
  bool overflow = false;

  void put(char c) {
    if (used + 1 < size) {
      data[used++] = c;
    } else {
      overflow = true;
    }
  }
  void finish() { data[used] = '\0'; }
};

// ISO-8859-1 maps each byte to the code point of the same number; anything
// else is kept as the sender's bytes (UTF-8 and US-ASCII are already right).
bool is_latin1(const char *charset, std::size_t n) {
  return same_ignoring_case(charset, n, "iso-8859-1") ||
         same_ignoring_case(charset, n, "iso_8859-1") || same_ignoring_case(charset, n, "latin1") ||
         same_ignoring_case(charset, n, "latin-1");
}

void put_in_charset(Output &out, unsigned char c, bool latin1) {
  if (!latin1 || c < 0x80) {
    out.put(static_cast<char>(c));
    return;
  }
  out.put(static_cast<char>(0xC0 | (c >> 6)));
  out.put(static_cast<char>(0x80 | (c & 0x3F)));
}

// One parameter as written in the field.
struct RawParam {
  char attribute[kTokenSize];  // lower-cased, without the RFC 2231 marks
  int section = -1;            // name*N; -1 for none
  bool extended = false;       // a trailing "*": charset prefix and %-escapes
  const char *value = nullptr;
  const char *value_end = nullptr;
  bool quoted = false;
};

// Skips to just after the next ";" that is not inside a quoted string or a
// comment; null when there is none.
const char *after_semicolon(const char *p) {
  for (;;) {
    p = skip_cfws(p);
    if (*p == '\0') return nullptr;
    if (*p == ';') return p + 1;
    if (*p == '"') {
      for (++p; *p != '\0' && *p != '"'; ++p) {
        if (*p == '\\' && p[1] != '\0') ++p;
      }
      if (*p == '"') ++p;
    } else if (*p != '(') {
      ++p;
    }
  }
}

// Reads the parameter that starts at p; returns the position after its
// value, or null when it is malformed (the caller goes on after the next ";").
const char *read_param(const char *p, RawParam &rp) {
  p = skip_cfws(p);
  std::size_t n = 0;
  for (; is_token_char(*p) && *p != '*'; ++p) {
    if (n + 1 >= sizeof rp.attribute) return nullptr;
    rp.attribute[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
  rp.attribute[n] = '\0';
  if (n == 0) return nullptr;
  if (*p == '*') {
    ++p;
    if (std::isdigit(static_cast<unsigned char>(*p))) {
      rp.section = 0;
      for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (rp.section > 9999) return nullptr;
        rp.section = rp.section * 10 + (*p - '0');
      }
      if (*p == '*') {
        rp.extended = true;
        ++p;
      }
    } else {
      rp.extended = true;
    }
  }
  p = skip_cfws(p);
  if (*p != '=') return nullptr;
  p = skip_cfws(p + 1);
  if (*p == '"') {
    rp.quoted = true;
    rp.value = ++p;
    for (; *p != '"'; ++p) {
      if (*p == '\0') return nullptr;
      if (*p == '\\' && p[1] != '\0') ++p;
    }
    rp.value_end = p;
    return p + 1;
  }
  // Senders often leave characters such as "=" or "/" unquoted, which
  // RFC 2045 allows only in quoted strings: take the value up to the next
  // ";" or comment, without trailing blanks.
  rp.value = p;
  while (*p != '\0' && *p != ';' && *p != '(') ++p;
  const char *end = p;
  while (end > rp.value && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
  rp.value_end = end;
  return end == rp.value ? nullptr : p;
}

// Calls `visit` for every well-formed parameter after the field's first ";".
template <class Visit>
void for_each_param(const char *field, Visit visit) {
  const char *p = after_semicolon(field);
  while (p != nullptr) {
    RawParam rp;
    const char *next = read_param(p, rp);
    if (next != nullptr && !visit(rp)) return;
    p = after_semicolon(next != nullptr ? next : p);
  }
}

// Copies a raw value: quoted pairs unescaped; in an extended section
// %-escapes are decoded and, in the first, the charset'language' prefix
// is read (into *latin1) and dropped.
void copy_value(const RawParam &rp, bool first, Output &out, bool *latin1) {
  const char *p = rp.value;
  const char *end = rp.value_end;
  if (rp.extended && first) {
    const char *tick =
        static_cast<const char *>(std::memchr(p, '\'', static_cast<std::size_t>(end - p)));
    const char *tick2 = tick == nullptr
                            ? nullptr
                            : static_cast<const char *>(std::memchr(
                                  tick + 1, '\'', static_cast<std::size_t>(end - tick - 1)));
    if (tick2 != nullptr) {
      *latin1 = is_latin1(p, static_cast<std::size_t>(tick - p));
      p = tick2 + 1;
    }
  }
  for (; p < end; ++p) {
    if (rp.quoted && *p == '\\' && p + 1 < end) ++p;
    int high = 0, low = 0;
    if (rp.extended && *p == '%' && end - p >= 3 && (high = hex_value(p[1])) >= 0 &&
        (low = hex_value(p[2])) >= 0) {
      put_in_charset(out, static_cast<unsigned char>(high * 16 + low), *latin1);
      p += 2;
    } else {
      put_in_charset(out, static_cast<unsigned char>(*p), *latin1 && rp.extended);
    }
  }
}

}  // namespace

const char *skip_cfws(const char *p) {
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (*p != '(') return p;
    int depth = 0;
    do {
      if (*p == '\\' && p[1] != '\0') {
        ++p;
      } else if (*p == '(') {
        ++depth;
      } else if (*p == ')') {
        --depth;
      }
      ++p;
    } while (*p != '\0' && depth > 0);
  }
}

bool first_token(const char *p, char *out, std::size_t size) {
  p = skip_cfws(p);
  std::size_t n = 0;
  for (; is_token_char(*p); ++p) {
    if (n + 1 >= size) return false;
    out[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
  out[n] = '\0';
  return n > 0;
}

bool media_type(const char *field, char *out, std::size_t size) {
  char type[kTokenSize];
  char subtype[kTokenSize];
  const char *p = skip_cfws(field);
  if (!first_token(p, type, sizeof type)) return false;
  p = skip_cfws(p + std::strlen(type));
  if (*p != '/' || !first_token(p + 1, subtype, sizeof subtype)) return false;
  const std::size_t a = std::strlen(type), b = std::strlen(subtype);
  if (a + 1 + b + 1 > size) return false;
  std::memcpy(out, type, a);
  out[a] = '/';
  std::memcpy(out + a + 1, subtype, b + 1);
  return true;
}

Param find_param(const char *field, const char *name, char *out, std::size_t size,
                 std::size_t *length) {
  Output o{out, size};
  bool latin1 = false;
  bool found = false;
  bool whole_extended = false;  // name*=
  int last_section = -1;
  for_each_param(field, [&](const RawParam &rp) {
    if (std::strcmp(rp.attribute, name) != 0) return true;
    if (rp.section < 0 && !rp.extended) {
      copy_value(rp, true, o, &latin1);
      found = true;
      return false;
    }
    if (rp.section < 0) whole_extended = true;
    if (rp.section > last_section) last_section = rp.section;
    return true;
  });
  if (!found && whole_extended) {
    for_each_param(field, [&](const RawParam &rp) {
      if (std::strcmp(rp.attribute, name) != 0 || rp.section >= 0 || !rp.extended) return true;
      copy_value(rp, true, o, &latin1);
      found = true;
      return false;
    });
  }
  // RFC 2231 section 3: sections are joined in numeric order, whatever
  // order they were written in.
  for (int k = 0; !found && k <= last_section; ++k) {
    for_each_param(field, [&](const RawParam &rp) {
      if (std::strcmp(rp.attribute, name) != 0 || rp.section != k) return true;
      copy_value(rp, k == 0, o, &latin1);
      return false;
    });
    if (k == last_section) found = true;
  }
  o.finish();
  *length = o.used;
  if (!found) return Param::missing;
  return o.overflow ? Param::too_long : Param::found;
}

namespace {

constexpr signed char kNoDigit = -1;
constexpr auto kBase64Values = [] {
  struct Table {
    signed char v[256];
  } t{};
  for (auto &v : t.v) v = kNoDigit;
  const char *digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i)
    t.v[static_cast<unsigned char>(digits[i])] = static_cast<signed char>(i);
  return t;
}();

// Decodes the text of one encoded word ("B" or "Q", RFC 2047 section 4).
void decode_word_text(char encoding, const char *p, const char *end, bool latin1, Output &out) {
  if (encoding == 'b' || encoding == 'B') {
    unsigned bits = 0;
    int count = 0;
    for (; p < end; ++p) {
      const signed char v = kBase64Values.v[static_cast<unsigned char>(*p)];
      if (v == kNoDigit) continue;  // "=" padding, stray bytes
      bits = (bits << 6) | static_cast<unsigned>(v);
      count += 6;
      if (count >= 8) {
        count -= 8;
        put_in_charset(out, static_cast<unsigned char>((bits >> count) & 0xFF), latin1);
      }
    }
    return;
  }
  for (; p < end; ++p) {
    int high = 0, low = 0;
    if (*p == '_') {
      out.put(' ');
    } else if (*p == '=' && end - p >= 3 && (high = hex_value(p[1])) >= 0 &&
               (low = hex_value(p[2])) >= 0) {
      put_in_charset(out, static_cast<unsigned char>(high * 16 + low), latin1);
      p += 2;
    } else {
      put_in_charset(out, static_cast<unsigned char>(*p), latin1);
    }
  }
}

// If an encoded word "=?charset?e?text?=" starts at p, returns its end and
// fills the pieces.
const char *encoded_word(const char *p, const char *end, const char **charset,
                         std::size_t *charset_length, char *encoding, const char **text,
                         const char **text_end) {
  if (end - p < 8 || p[0] != '=' || p[1] != '?') return nullptr;
  const char *q = p + 2;
  while (q < end && *q != '?' && *q > ' ') ++q;
  if (q + 3 >= end || *q != '?' || q[2] != '?') return nullptr;
  const char *star =
      static_cast<const char *>(std::memchr(p + 2, '*', static_cast<std::size_t>(q - p - 2)));
  *charset = p + 2;
  *charset_length =
      static_cast<std::size_t>((star != nullptr ? star : q) - (p + 2));  // RFC 2231 section 5
  *encoding = q[1];
  if (std::strchr("bBqQ", *encoding) == nullptr) return nullptr;
  *text = q + 3;
  const char *t = *text;
  while (t + 1 < end && !(t[0] == '?' && t[1] == '=') && *t > ' ') ++t;
  if (t + 1 >= end || t[0] != '?' || t[1] != '=') return nullptr;
  *text_end = t;
  return t + 2;
}

}  // namespace

std::size_t decode_words(const char *in, std::size_t length, char *out, std::size_t size) {
  Output o{out, size};
  const char *p = in;
  const char *end = in + length;
  const char *after_word = nullptr;  // end of the last encoded word
  while (p < end) {
    const char *charset = nullptr, *text = nullptr, *text_end = nullptr;
    std::size_t charset_length = 0;
    char encoding = 0;
    const char *next = encoded_word(p, end, &charset, &charset_length, &encoding, &text, &text_end);
    if (next == nullptr) {
      o.put(*p++);
      continue;
    }
    // Blanks between two encoded words are not part of the text.
    if (after_word != nullptr) {
      bool blanks = true;
      for (const char *b = after_word; b < p; ++b) blanks = blanks && (*b == ' ' || *b == '\t');
      if (blanks) o.used -= std::min<std::size_t>(o.used, static_cast<std::size_t>(p - after_word));
    }
    decode_word_text(encoding, text, text_end, is_latin1(charset, charset_length), o);
    after_word = p = next;
  }
  o.finish();
  return o.overflow ? size : o.used;
}

}  // namespace mimesplit
