// Header field values of MIME entities: media types (RFC 2045 section 5),
// parameters with the RFC 2231 extensions, and RFC 2047 encoded words.
// Everything works on fixed buffers supplied by the caller.
#ifndef MIMESPLIT_MIME_FIELDS_H
#define MIMESPLIT_MIME_FIELDS_H

#include <cstddef>

namespace mimesplit {

constexpr std::size_t kTokenSize = 64;  // type, subtype, attribute, encoding

// Skips blanks, line ends and (nested) comments.
const char *skip_cfws(const char *p);

// Copies the token at p (after CFWS) into out, lower-cased; false when there
// is none or it does not fit.
bool first_token(const char *p, char *out, std::size_t size);

// "type/subtype", lower-cased, from a Content-Type field; false when the
// field does not start with one.
bool media_type(const char *field, char *out, std::size_t size);

enum class Param { missing, found, too_long };

// Finds the parameter `name` (lower case) among the parameters of a
// Content-Type or Content-Disposition field and writes its value, decoded,
// to out (NUL-terminated; *length excludes the NUL and counts NULs that
// %00 put inside). Quoted strings and comments follow RFC 2045; RFC 2231
// sections (name*0, name*1*, ...), charset'language' prefixes and %-escapes
// are decoded, and an ISO-8859-1 value is turned into UTF-8. As most mail
// readers do, a plain "name=" wins over the extended forms, and an unquoted
// value runs up to ";" or "(" (less trailing blanks) even if it holds "=",
// "/" and the like.
Param find_param(const char *field, const char *name, char *out, std::size_t size,
                 std::size_t *length);

// Decodes the RFC 2047 encoded words of in[0, length) into out; blanks
// between two encoded words go. Returns the decoded length (out is also
// NUL-terminated), or `size` when the result does not fit.
std::size_t decode_words(const char *in, std::size_t length, char *out, std::size_t size);

}  // namespace mimesplit

#endif
