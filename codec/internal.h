// Helpers shared by the two decoders; not part of the public interface.
#ifndef OCTAFOLD_INTERNAL_H
#define OCTAFOLD_INTERNAL_H

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace octafold {

// The decoders' line buffer on the boundary path: lines of up to 199 bytes
// and their NUL. Longer lines are read in pieces.
inline constexpr int kLineBufferSize = 200;

// Pushes back the "-" just read at a line start and reads that line (up to
// and including its LF, at most kLineBufferSize - 1 bytes) into `line`.
// Returns the bytes read, which a NUL inside the line makes more than its
// strlen.
std::size_t read_dash_line(std::FILE *in, char (&line)[kLineBufferSize]);

// True for a line that begins with "--" and is a boundary line of an active
// entry (PendingBoundary, which may lower *count).
bool ends_part(const char *line, const char *const *boundaries, int *count);

namespace ref {

// One fromqp call between two steps. A hard line end (LF or CR LF) is held
// until the next byte shows that no boundary line follows it; a CR is held
// until the next byte shows whether it begins a CR LF line end.
struct QpState {
  bool line_start = true;
  int held = 0;     // 0: nothing, 1: LF, 2: CR LF
  bool cr = false;  // a CR that may begin a CR LF line end
};

// Reads and decodes one item (a byte, an escape, or a line on the boundary
// path). Returns false once the call is over: at the end of input, with
// everything held written, or on a boundary line, with the held line end
// dropped.
bool fromqp_step(QpState &s, std::FILE *in, std::FILE *out, const char *const *boundaries,
                 int *count);

// The step for a line that begins with "-" at a line start, read already:
// `n` bytes (at most kLineBufferSize - 1, up to and including its LF) and a
// NUL, as read_dash_line leaves them. Its bytes go to `sink`. Returns false
// on a boundary line, with the held line end dropped.
using ByteSink = void (*)(void *ctx, unsigned char c);
bool fromqp_line(QpState &s, const char *line, std::size_t n, ByteSink sink, void *ctx,
                 const char *const *boundaries, int *count);

}  // namespace ref
}  // namespace octafold

#endif
