// Fixed-size input and output blocks for the block paths: fread and fwrite of
// whole blocks instead of getc and putc for every byte.
#ifndef OCTAFOLD_BLOCK_IO_H
#define OCTAFOLD_BLOCK_IO_H

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "kernels.h"

namespace octafold {

// Input bytes in a fixed buffer. A coder that needs a few bytes of context
// at the end of a block (a group, an escape, "From ") keeps them: refill()
// moves the unconsumed rest to the front and appends the next block.
template <std::size_t Keep>
class BlockInput {
 public:
  explicit BlockInput(std::FILE *in) : in_(in) {}

  // Drops the first `consumed` bytes, keeps the rest and reads one block
  // after it. Returns false once the input has ended (end of input or a read
  // error, which fread, like getc, does not tell apart). A short fread means
  // the end: a later getc would not have read on either.
  bool refill(std::size_t consumed) {
    // The kept rest goes just before kHead, so that every read lands at the
    // same 64-byte aligned address: the kernel's copy into a misaligned
    // buffer is several times slower on some CPUs.
    const std::size_t rest = len_ - consumed;
    unsigned char *const head = buf_ + kHead;
    if (rest != 0) std::memmove(head - rest, data_ + consumed, rest);
    data_ = head - rest;
    len_ = rest;
    if (ended_) return false;
    const std::size_t want = block_size();
    const std::size_t got = std::fread(head, 1, want, in_);
    len_ += got;
    ended_ = got < want;
    return got != 0;
  }

  bool ended() const { return ended_; }
  const unsigned char *data() const { return data_; }
  std::size_t size() const { return len_; }

 private:
  static constexpr std::size_t kHead = 64;
  static_assert(Keep <= kHead);
  std::FILE *in_;
  std::size_t len_ = 0;
  bool ended_ = false;
  alignas(64) unsigned char buf_[kHead + kMaxBlock + kSlack] = {};
  const unsigned char *data_ = buf_ + kHead;
};

// Output bytes gathered in a fixed buffer and written with fwrite. Writes
// are not checked, as with putc: errors stay in the stream's error flag.
class BlockOutput {
 public:
  static constexpr std::size_t kSize = 64 * 1024;

  // With `hold_cr`, a CR at the end of the buffer stays in it at a flush:
  // an LF in the next block may still fold it away.
  explicit BlockOutput(std::FILE *out, bool hold_cr = false) : out_(out), hold_cr_(hold_cr) {}

  // Room for `n` more bytes (n < kSize), plus kSlack for vector stores.
  unsigned char *room(std::size_t n) {
    if (kSize - len_ < n) flush();
    return buf_ + len_;
  }
  void commit(std::size_t n) { len_ += n; }
  void put(unsigned char c) {
    *room(1) = c;
    ++len_;
  }
  void put(const char *s, std::size_t n) {
    std::memcpy(room(n), s, n);
    len_ += n;
  }
  unsigned char *begin() { return buf_; }
  std::size_t size() const { return len_; }
  void truncate(std::size_t n) { len_ = n; }

  void flush() {
    const std::size_t keep = hold_cr_ && len_ != 0 && buf_[len_ - 1] == '\r' ? 1 : 0;
    if (len_ > keep) std::fwrite(buf_, 1, len_ - keep, out_);
    if (keep != 0) buf_[0] = '\r';
    len_ = keep;
  }
  // Writes everything, a held CR included.
  void finish() {
    if (len_ != 0) std::fwrite(buf_, 1, len_, out_);
    len_ = 0;
  }

 private:
  std::FILE *out_;
  bool hold_cr_;
  std::size_t len_ = 0;
  unsigned char buf_[kSize + kSlack] = {};
};

// The bytes a stream has already buffered, read in place, so that a decoder
// given a boundary list can use the block routines and still leave the
// stream exactly after the boundary line: it consumes only what it has
// decoded, and the stream keeps the rest. Nothing may be read past size().
// Where the C library's buffer layout is unknown, available() is false and
// the decoders go byte by byte.
class StreamWindow {
 public:
  explicit StreamWindow(std::FILE *in) : in_(in) {}

#ifdef __GLIBC__
  static constexpr bool available() { return true; }
  const unsigned char *data() const {
    return reinterpret_cast<const unsigned char *>(in_->_IO_read_ptr);
  }
  std::size_t size() const {
    return static_cast<std::size_t>(in_->_IO_read_end - in_->_IO_read_ptr);
  }
  void consume(std::size_t n) { in_->_IO_read_ptr += n; }
#else
  static constexpr bool available() { return false; }
  const unsigned char *data() const { return nullptr; }
  std::size_t size() const { return 0; }
  void consume(std::size_t) {}
#endif

  // Makes the stream buffer more input when it holds none; false at the end
  // of input. The byte read to refill is pushed back where it was read from.
  bool fill() {
    if (size() != 0) return true;
    const int c = std::getc(in_);
    if (c == EOF) return false;
    std::ungetc(c, in_);
    return true;
  }

 private:
  std::FILE *in_;
};

// The input of a decoder given a boundary list. The stream's buffered bytes
// are read in place; once they are used up, a seekable stream is read in
// whole blocks of our own (fewer, larger reads than its buffer allows), and
// sync() seeks back over what was not consumed, so that the stream stands
// exactly after the last byte consumed. A stream that cannot seek (a pipe)
// is read through its own buffer only.
class PartInput {
 public:
  explicit PartInput(std::FILE *in) : in_(in), window_(in), seekable_(can_seek(in)) {}

  // Makes bytes available; false at the end of input.
  bool fill() {
    if (in_block_ && pos_ < len_) return true;
    in_block_ = false;
    if (window_.size() != 0) return true;
    if (!seekable_ || !StreamWindow::available()) return window_.fill();
    len_ = std::fread(block_, 1, kMaxBlock, in_);
    pos_ = 0;
    in_block_ = len_ != 0;
    return in_block_;
  }
  const unsigned char *data() const { return in_block_ ? block_ + pos_ : window_.data(); }
  std::size_t size() const { return in_block_ ? len_ - pos_ : window_.size(); }
  void consume(std::size_t n) {
    if (in_block_) {
      pos_ += n;
    } else {
      window_.consume(n);
    }
  }
  // Keeps the few unconsumed bytes at the end of a block and appends the
  // next block to them, so that an item cut by the block's end is seen
  // whole; false when there is no block or the input has ended.
  bool extend() {
    if (!in_block_ || len_ - pos_ > kMaxBlock / 2) return false;
    const std::size_t rest = len_ - pos_;
    std::memmove(block_, block_ + pos_, rest);
    pos_ = 0;
    len_ = rest;
    const std::size_t got = std::fread(block_ + rest, 1, kMaxBlock - rest, in_);
    len_ += got;
    return got != 0;
  }

  // True when data() may be read kSlack bytes past its end.
  bool has_slack() const { return in_block_; }

  // Hands the unconsumed rest of a block back to the stream, before the
  // stream is read directly and at the end of the call.
  void sync() {
    // A block that reached the end of input set the stream's end-of-file
    // flag, which the byte-wise reads stopping at the same byte would not
    // have: the seek clears it.
    if (in_block_ && (pos_ < len_ || std::feof(in_))) {
      std::fseek(in_, -static_cast<long>(len_ - pos_), SEEK_CUR);
    }
    in_block_ = false;
  }

 private:
  std::FILE *in_;
  StreamWindow window_;
  bool seekable_;
  bool in_block_ = false;
  std::size_t pos_ = 0, len_ = 0;
  alignas(64) unsigned char block_[kMaxBlock + kSlack] = {};

  // Asks without leaving a trace in errno.
  static bool can_seek(std::FILE *in) {
    const int saved = errno;
    const bool ok = std::ftell(in) >= 0;
    errno = saved;
    return ok;
  }
};

}  // namespace octafold

#endif
