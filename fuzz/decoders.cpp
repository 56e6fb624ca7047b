// Both decoders on arbitrary text with an arbitrary boundary list. Besides
// what the sanitizers catch, each call must stop exactly where the boundary
// rules of RFC 2046 put the end of the part: a model below, written over the
// bytes rather than a stream, says where that is and what the boundary count
// must be afterwards. The stream must stand right there (nothing read past
// the boundary line, nothing left of it), the count may only fall, and the
// line just consumed must be one that PendingBoundary accepts. The portable
// flag may only fold CR LF into LF.
//
// Input layout: one byte of settings, then as many NUL-terminated boundary
// entries as the settings ask for, then the text to decode.
//   bit 0     pass a boundary list (else both pointers are null)
//   bits 1-2  number of entries, 0 to 3
//   bits 3-4  how far the count lies below the number of entries (so it can
//             be 0 or negative, which must disable every entry)
//   bits 5-7  the tiny stream buffers of the differential runs
//
// The differential runs hold the decoders (block paths, and with a list the
// path that decodes the stream's buffer in place) against the byte-wise
// reference on memory streams, temporary files and pipes with tiny buffers
// or none: the same output, messages, boundary count and unread input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../codec/kernels.h"
#include "harness.h"
#include "octafold.h"
#include "streams.h"

namespace {

constexpr std::size_t kLineMax = 199;  // the decoders' bounded line read

struct Case {
  bool has_list = false;
  std::vector<std::string> entries;
  std::vector<const char *> pointers;
  int count = 0;
  std::string_view text;
  int tiny = 0;
};

Case parse(std::string_view data) {
  Case c;
  if (data.empty()) return c;
  const auto settings = static_cast<unsigned char>(data[0]);
  data.remove_prefix(1);
  c.has_list = (settings & 1U) != 0;
  const unsigned n = (settings >> 1) & 3U;
  for (unsigned i = 0; i < n; ++i) {
    const std::size_t end = std::min(data.find('\0'), data.size());
    c.entries.emplace_back(data.substr(0, end));
    data.remove_prefix(end < data.size() ? end + 1 : end);
  }
  for (const auto &e : c.entries) c.pointers.push_back(e.c_str());
  c.pointers.push_back(nullptr);  // never read, but an empty list is still a list
  c.count = static_cast<int>(n) - static_cast<int>((settings >> 3) & 3U);
  c.text = data;
  c.tiny = static_cast<int>(settings >> 5);
  return c;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where a decoder call must end, and the boundary count it must leave.
struct Stop {
  std::size_t pos = 0;  // bytes consumed from the text
  int count = 0;
  bool on_boundary = false;
  std::size_t line_begin = 0;  // of the boundary line, when on_boundary
};

// The boundary test over a line as the decoders hold it: a C string, so a NUL
// ends it; entries are tried in order and the first prefix match decides.
bool model_boundary(std::string_view line, const Case &c, int &count) {
  line = line.substr(0, std::min(line.find('\0'), line.size()));
  if (line.substr(0, 2) != "--") return false;
  for (int i = 0; i < count; ++i) {
    const std::string &e = c.entries[static_cast<std::size_t>(i)];
    if (line.substr(0, e.size()) != e) continue;
    if (line.substr(e.size(), 2) == "--") count = i;
    return true;
  }
  return false;
}

// A line read at `begin` (its "-" included): up to and including the LF, at
// most kLineMax bytes.
std::size_t line_end(std::string_view t, std::size_t begin) {
  const std::size_t lf = t.find('\n', begin);
  const std::size_t end = lf == std::string_view::npos ? t.size() : lf + 1;
  return std::min(end, begin + kLineMax);
}

// What both decoders share: a "-" at a line start, with a list, reads that
// line and ends the call if it is a boundary line; a line that is not one
// leaves the decoder at a line start. Every other byte goes to `step`, which
// may read further bytes through `i`, updates the line-start flag, and
// returns false when the call ends at the end of the text.
template <typename Step>
Stop model_stop(const Case &c, Step step) {
  const std::string_view t = c.text;
  int count = c.count;
  bool line_start = true;
  std::size_t i = 0;
  while (i < t.size()) {
    const char ch = t[i++];
    if (line_start && c.has_list && ch == '-') {
      const std::size_t begin = i - 1;
      i = line_end(t, begin);
      if (model_boundary(t.substr(begin, i - begin), c, count)) return {i, count, true, begin};
      continue;
    }
    if (!step(ch, i, line_start)) break;
  }
  return {t.size(), count, false, 0};
}

// The next byte at `i` (moving past it), or -1 at the end of the text.
int next_byte(std::string_view t, std::size_t &i) {
  return i < t.size() ? static_cast<unsigned char>(t[i++]) : -1;
}

Stop model_from64(const Case &c) {
  const std::string_view t = c.text;
  bool done = false;
  return model_stop(c, [&](char c1, std::size_t &i, bool &line_start) {
    if (is_space(c1)) {
      line_start = c1 == '\n';
      return true;
    }
    if (done) return true;  // discarded; the line-start flag stays
    line_start = false;
    bool pad = c1 == '=';
    for (int got = 1; got < 4; ++got) {
      while (i < t.size() && is_space(t[i])) ++i;
      if (i == t.size()) return false;  // a group cut short by the end ends the call
      // With a list, a "-" right after an LF cuts the group short and opens
      // a line on the boundary path.
      if (c.has_list && t[i] == '-' && t[i - 1] == '\n') {
        line_start = true;
        return true;
      }
      if (t[i++] == '=') pad = true;
    }
    done = pad;
    return true;
  });
}

Stop model_fromqp(const Case &c) {
  const std::string_view t = c.text;
  return model_stop(c, [&](char ch, std::size_t &i, bool &line_start) {
    if (ch == '=') {
      // A soft line break, or an escape whose second digit may be the LF.
      line_start = next_byte(t, i) == '\n' || next_byte(t, i) == '\n';
    } else {
      line_start = ch == '\n';
    }
    return true;
  });
}

struct Result {
  std::string out;
  std::string rest;
  int count = 0;
};

template <typename Decoder>
Result decode(const Case &c, Decoder decoder) {
  Result r;
  r.count = c.count;
  fuzz::Input in(c.text);
  fuzz::Output out;
  decoder(in.get(), out.get(), c.has_list ? c.pointers.data() : nullptr,
          c.has_list ? &r.count : nullptr);
  r.out = out.text();
  r.rest = in.rest();
  return r;
}

void check_stop(const Case &c, const Result &r, const Stop &want) {
  fuzz::check(r.count <= c.count, "boundary count rose");
  fuzz::check(r.count == want.count, "boundary count differs from the model");
  fuzz::check(r.rest == c.text.substr(want.pos), "stream not left where the part ends");
  if (!want.on_boundary) return;
  // The bytes just consumed are the boundary line itself.
  const std::string line(c.text.substr(want.line_begin, want.pos - want.line_begin));
  int count = c.count;
  fuzz::check(PendingBoundary(line.c_str(), c.pointers.data(), &count) == 1 && count == r.count,
              "the line consumed last is not a boundary line");
}

// The portable decoder writes what the plain one writes, less every CR that
// stands right before an LF.
std::string fold_crlf(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out.push_back(s[i]);
  }
  return out;
}

// Runs `decoder(in, out, list, count)` on `setup`'s stream.
template <typename Decoder>
streams::Outcome differential_run(const Case &c, const streams::Setup &setup, Decoder decoder) {
  streams::Outcome o;
  int count = c.count;
  const bool made = streams::run(
      setup, c.text,
      [&](FILE *in, FILE *out) {
        decoder(in, out, c.has_list ? c.pointers.data() : nullptr, c.has_list ? &count : nullptr);
      },
      o);
  fuzz::check(made, "could not make the input stream");
  o.count = count;
  return o;
}

template <typename Reference, typename Decoder>
void check_against_reference(const Case &c, Reference reference, Decoder decoder) {
  using streams::Kind;
  const streams::Outcome want = differential_run(c, {Kind::memory, 0}, reference);
  const streams::Setup setups[] = {
      {Kind::memory, 0},
      {Kind::memory, c.tiny + 1},
      {Kind::file, 2 * c.tiny + 2},
      {Kind::pipe, c.tiny == 7 ? -1 : streams::kMaxTiny - c.tiny},
  };
  for (const streams::Setup &setup : setups) {
    if (setup.kind == Kind::pipe && c.text.size() > streams::kMaxPipeText) continue;
    const streams::Outcome got = differential_run(c, setup, decoder);
    fuzz::check(got.out == want.out, "output differs from the byte-wise decoder");
    fuzz::check(got.err == want.err, "messages differ from the byte-wise decoder");
    fuzz::check(got.count == want.count, "boundary count differs from the byte-wise decoder");
    fuzz::check(got.rest == want.rest, "stream not left where the byte-wise decoder leaves it");
    fuzz::check(got.position_agrees, "ftell disagrees with the bytes left");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const Case c = parse(fuzz::bytes(data, size));
  auto base64 = [](int portable) {
    return [portable](FILE *in, FILE *out, const char *const *list, int *count) {
      from64(in, out, list, count, portable);
    };
  };
  const Result plain = decode(c, base64(0));
  const Result portable = decode(c, base64(1));
  const Stop b64_stop = model_from64(c);
  check_stop(c, plain, b64_stop);
  check_stop(c, portable, b64_stop);
  fuzz::check(portable.out == fold_crlf(plain.out), "portable from64 did more than fold CR LF");

  const Result qp = decode(c, fromqp);
  check_stop(c, qp, model_fromqp(c));

  for (int p = 0; p < 2; ++p) {
    check_against_reference(
        c,
        [p](FILE *in, FILE *out, const char *const *list, int *count) {
          octafold::ref::from64(in, out, list, count, p);
        },
        [p](FILE *in, FILE *out, const char *const *list, int *count) {
          from64(in, out, list, count, p);
        });
  }
  check_against_reference(c, octafold::ref::fromqp, fromqp);
  return 0;
}
