// Helpers shared by the two decoders; not part of the public interface.
#ifndef OCTAFOLD_INTERNAL_H
#define OCTAFOLD_INTERNAL_H

#include <cstdio>

namespace octafold {

// The decoders' line buffer on the boundary path: lines of up to 199 bytes
// and their NUL. Longer lines are read in pieces.
inline constexpr int kLineBufferSize = 200;

// Pushes back the "-" just read at a line start and reads that line (up to
// and including its LF, at most kLineBufferSize - 1 bytes) into `line`.
void read_dash_line(std::FILE *in, char (&line)[kLineBufferSize]);

// True for a line that begins with "--" and is a boundary line of an active
// entry (PendingBoundary, which may lower *count).
bool ends_part(const char *line, const char *const *boundaries, int *count);

}  // namespace octafold

#endif
