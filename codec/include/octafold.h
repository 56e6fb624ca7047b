/*
 * octafold: MIME content-transfer-encoding coders (RFC 2045) and the
 * multipart boundary test (RFC 2046), callable from C and C++.
 *
 * Every coder reads its input stream to the end (or, for a decoder given a
 * boundary list, up to a recognised boundary line) and writes one output
 * stream. The caller owns both streams: no function here opens, closes or
 * seeks them, and none ever ends the process. Errors of the underlying reads
 * and writes are left in the streams' error indicators (ferror) for the
 * caller to examine.
 *
 * Every coder keeps its state per call: threads may run coders at once on
 * different streams. A decoder given a boundary list reads the buffered
 * bytes of `in` in place, so no other thread may use `in` during the call.
 */
#ifndef OCTAFOLD_H
#define OCTAFOLD_H

#include <stdio.h>

/* The library is built with hidden visibility; only these names are its
 * interface, in the shared library and in objects that link the static one. */
#if defined(__GNUC__)
#define OCTAFOLD_API __attribute__((visibility("default")))
#else
#define OCTAFOLD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Encodes all of `in` as base64 on `out`: lines of 72 characters, each ended
 * by a single LF, the last line shorter and padded with "=" as needed. Empty
 * input writes nothing. With `portable` non-zero every LF of the input is
 * encoded as CR LF. Flushes `out` before returning. Writes nothing to stderr.
 */
OCTAFOLD_API void to64(FILE *in, FILE *out, int portable);

/*
 * Decodes base64 text from `in` onto `out`. White space is skipped; the first
 * "=" ends the data, and the rest of the input is read and discarded; a byte
 * outside the alphabet counts as the value 0xFF and is not reported. With
 * `portable` non-zero, CR LF in the decoded data is written as LF.
 *
 * A group cut short by the end of input is dropped with the warning
 * "Warning: base64 decoder saw premature EOF!" on stderr.
 *
 * `boundaries`, when not NULL, is a boundary list: `*count` entries, each
 * the full text a boundary line begins with, leading "--" included (see
 * PendingBoundary). A line that begins with "-" right after an LF (or at the
 * start of the call) is then read (up to 199 bytes) and tested: on a
 * boundary line the call returns with `in` positioned just after that line;
 * any other such line is reported on stderr as "Ignoring unrecognized
 * boundary line: ..." and skipped. Such a line also ends a group in
 * progress (a sender may leave out the padding): the group is dropped with
 * the premature-EOF warning, a CR held for folding is written, and decoding
 * goes on after a line that is not a boundary line with a fresh group.
 * With `boundaries` NULL, `count` is not used and may be NULL.
 *
 * `out` is not flushed.
 */
OCTAFOLD_API void from64(FILE *in, FILE *out, const char *const *boundaries, int *count,
                         int portable);

/*
 * Encodes all of `in` as quoted-printable on `out`: escapes "=HH" with
 * upper-case digits for control bytes other than tab and LF, "=", and bytes
 * above 126; escapes "." at the start of an output line and the "F" of
 * "From " at the start of any line after the first; protects a blank or tab
 * before an LF with a soft line break; and keeps every output line within
 * 76 characters. LF is the line end; CR is escaped. An unfinished last line
 * ends in a soft line break. Needs one byte of ungetc push-back on `in`.
 * Neither flushes `out` nor writes to stderr.
 */
OCTAFOLD_API void toqp(FILE *in, FILE *out);

/*
 * Decodes quoted-printable text from `in` onto `out`: "=HH" becomes one byte
 * (malformed escapes still yield a byte and are not reported), "=" LF and
 * "=" CR LF are soft line breaks, everything else is copied; a CR that is
 * not part of a soft line break is data.
 *
 * `boundaries` and `count` as for from64, except that a line beginning with
 * "-" that is not a boundary line is decoded as data, silently. On a boundary
 * line the call returns with `in` just after it, and the line end (LF or
 * CR LF) that ended the preceding line is not written: it belongs to the
 * boundary (RFC 2046). Neither flushes `out` nor writes to stderr.
 */
OCTAFOLD_API void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count);

/*
 * Tells whether `line` (NUL-terminated) is a boundary line of one of the
 * active entries boundaries[0] .. boundaries[*count - 1], tried in that
 * order; the first entry that is a prefix of the line matches. Returns 1 for
 * a separator or a closing line, 0 otherwise (always 0 for a line that does
 * not begin with "--"). For a closing line (the entry followed by "--"),
 * lowers *count to the matching entry's index, which retires that entry and
 * every later one. Never writes anything else.
 */
OCTAFOLD_API int PendingBoundary(const char *line, const char *const *boundaries, int *count);

#ifdef __cplusplus
}
#endif

#endif /* OCTAFOLD_H */
