// Internals of the block paths: the byte-wise reference coders, the vector
// kernels and the knobs that tests turn. Not part of the public interface.
#ifndef OCTAFOLD_KERNELS_H
#define OCTAFOLD_KERNELS_H

#include <cstddef>
#include <cstdio>

namespace octafold {

// The byte-wise coders: every byte through getc/putc. The decoders use them
// when a boundary list is given, since they must stop exactly after the
// boundary line; tests compare the block paths against them.
namespace ref {
void to64(std::FILE *in, std::FILE *out, int portable);
void from64(std::FILE *in, std::FILE *out, const char *const *boundaries, int *count, int portable);
void toqp(std::FILE *in, std::FILE *out);
void fromqp(std::FILE *in, std::FILE *out, const char *const *boundaries, int *count);
}  // namespace ref

// Quoted-printable line layout: a soft line break follows the item that
// brings a line to this many characters; with the "=" the longest line is 76
// characters (RFC 2045).
inline constexpr int kSoftBreakColumn = 73;
inline constexpr int kLongestItem = 3;  // "=HH"
static_assert(kSoftBreakColumn - 1 + kLongestItem + 1 <= 76);
// "Previous byte" after an escape or the "From " look-ahead: not LF, blank
// or tab.
inline constexpr int kNeutral = 255;

// Base64 line layout: 54 input bytes make one 72-character line.
inline constexpr std::size_t kLineChars = 72;
inline constexpr std::size_t kLineBytes = kLineChars / 4 * 3;
static_assert(kLineBytes == 54);

enum class Kernel {
  portable,  // plain C++, any machine
  ssse3,     // x86-64 with SSSE3
  avx2,      // x86-64 with AVX2
  avx512,    // x86-64 with AVX-512 BW, VL and VBMI
};

// Where the quoted-printable encoder stands: the line's column and the
// previous byte (LF, a byte written unchanged, or kNeutral).
struct QpState {
  int column;
  int prev;
};
// Encodes from in[0, len) to *out, advancing *out, while at least
// kQpEncodeRoom bytes remain before out_end. Stops at the end of the input,
// when the room runs low, or before an "F" at a line start that has fewer
// than four bytes after it. Returns the bytes consumed.
using QpEncodeFn = std::size_t (*)(const unsigned char *in, std::size_t len, unsigned char **out,
                                   const unsigned char *out_end, QpState &state);
inline constexpr std::size_t kQpEncodeRoom = 256;
// The AVX2 one, also used by the AVX-512 kernel.
std::size_t qp_encode_avx2(const unsigned char *in, std::size_t len, unsigned char **out,
                           const unsigned char *out_end, QpState &state);

// The vector routines of one kernel. Each may read up to kSlack bytes past
// the end of its input and write up to kSlack bytes past its output.
struct KernelOps {
  // Encodes `lines` lines of kLineBytes bytes each into kLineChars
  // characters and an LF each.
  void (*encode_lines)(const unsigned char *in, std::size_t lines, char *out);
  // Decodes the longest run of whole four-character groups at the start of
  // in[0, len) that holds alphabet characters only (no "=", no white space).
  // Returns the characters consumed, a multiple of 4; writes 3 bytes per
  // group.
  std::size_t (*decode_run)(const unsigned char *in, std::size_t len, unsigned char *out);
  // Copies in[0, len) to out with every LF turned into CR LF; returns the
  // length written (at most 2 * len).
  std::size_t (*expand_lf)(const unsigned char *in, std::size_t len, unsigned char *out);
  // Length of the prefix of in[0, len) made of bytes that quoted-printable
  // writes unchanged inside a line: tab, blank and "!" to "~" except "=".
  std::size_t (*qp_plain_run)(const unsigned char *in, std::size_t len);
  // Quoted-printable encoder for everything but the "From " look-ahead near
  // the end of the input; null where the block path encodes item by item.
  QpEncodeFn qp_encode;
  // Decodes quoted-printable items from the start of in[0, len): "=" and
  // two digits, the soft breaks "=" LF and "=" CR LF, and any other byte
  // copied. Stops before an item that does not end inside in[0, len), and
  // may stop earlier. Advances *out past what it wrote (at most one byte per
  // byte consumed) and returns the bytes consumed. Null where the kernel has
  // none.
  std::size_t (*qp_decode)(const unsigned char *in, std::size_t len, unsigned char **out);
  // Decodes whole base64 lines from the start of in[0, len): 72 or 76
  // alphabet characters and their LF or CR LF. Stops at the first line of
  // another kind. Advances *out by 3 bytes for every 4 characters and
  // returns the bytes consumed. Null where the kernel has none.
  std::size_t (*decode_lines)(const unsigned char *in, std::size_t len, unsigned char **out);
  // Drops, in place, every CR that an LF follows in a prefix of buf[0, len)
  // that ends before the last byte. Returns the length of that prefix and
  // sets *kept to the bytes left of it at the front. Null where the kernel
  // has none.
  std::size_t (*fold_crlf)(unsigned char *buf, std::size_t len, std::size_t *kept);
  // The first "-" in data[1, n) right after an LF, or n: where the decoders'
  // boundary path must stop the block routines. Reads nothing past
  // data[n - 1] (it runs on the stream's own buffer).
  std::size_t (*find_dash_line)(const unsigned char *data, std::size_t n);
};
inline constexpr std::size_t kSlack = 64;

// The kernel in use: the best this CPU supports unless a test forced one.
const KernelOps &kernel_ops();
Kernel active_kernel();
bool kernel_supported(Kernel k);
// For tests: selects `k` if the CPU supports it and says whether it did.
bool force_kernel(Kernel k);

// Bytes per fread of the block paths, per thread. Tests shrink it to cross
// block edges cheaply; it is clamped to [1, kMaxBlock].
inline constexpr std::size_t kMaxBlock = 64 * 1024;
void set_block_size(std::size_t bytes);
std::size_t block_size();

// The kernels, for the dispatcher.
const KernelOps &portable_ops();
const KernelOps &ssse3_ops();
const KernelOps &avx2_ops();
const KernelOps &avx512_ops();

}  // namespace octafold

#endif
