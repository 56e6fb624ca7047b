// Multipart boundary lines (RFC 2046, section 5.1.1).
#include <cstring>

#include "internal.h"
#include "octafold.h"

// The match is a prefix match on purpose: a boundary line may carry trailing
// white space (and the decoders' line may be cut at their buffer size), so
// only the delimiter itself and the "--" that marks a closing line count.
extern "C" int PendingBoundary(const char *line, const char *const *boundaries, int *count) {
  if (line[0] != '-' || line[1] != '-') return 0;
  for (int i = 0; i < *count; ++i) {
    const std::size_t n = std::strlen(boundaries[i]);
    if (std::strncmp(line, boundaries[i], n) != 0) continue;
    // strncmp matched n bytes without meeting the line's NUL, so line[n]
    // exists; line[n + 1] is read only when line[n] is not the NUL.
    if (line[n] == '-' && line[n + 1] == '-') *count = i;
    return 1;
  }
  return 0;
}

namespace octafold {

std::size_t read_dash_line(std::FILE *in, char (&line)[kLineBufferSize]) {
  // A bounded line read, as fgets makes it, that also counts the bytes:
  // a NUL inside the line must not hide where the read stopped.
  ungetc('-', in);
  std::size_t n = 0;
  while (n < kLineBufferSize - 1) {
    const int c = getc(in);
    if (c == EOF) break;
    line[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[n] = '\0';
  return n;
}

bool ends_part(const char *line, const char *const *boundaries, int *count) {
  return line[0] == '-' && line[1] == '-' && PendingBoundary(line, boundaries, count) != 0;
}

}  // namespace octafold
