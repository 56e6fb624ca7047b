// Throughput of the vector routines alone, in memory, for every kernel this
// CPU runs: no reads, writes or process start-up, which on a shared machine
// vary more from run to run than the routines do. bench.py's corpora are the
// inputs.
//
//     kernels_bench DIR [--benchmark_filter=...]
//
// DIR holds the files bench.py builds (random64, euro64, cyrgr64, their
// quoted-printable and random256.b64); the first 8 MiB of each are used,
// and the CR LF text for the folding is made from euro64.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kernels.h"

namespace {

using octafold::Kernel;
using octafold::KernelOps;

constexpr std::size_t kInput = 8u << 20;

std::vector<unsigned char> load(const std::string &path) {
  std::vector<unsigned char> data(kInput + octafold::kSlack);
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return {};
  const std::size_t got = std::fread(data.data(), 1, kInput, f);
  std::fclose(f);
  data.resize(got + octafold::kSlack);
  return data;
}

// Runs `pass` (one pass over `len` input bytes) with kernel `k` selected.
template <typename Pass>
void run(benchmark::State &state, Kernel k, std::size_t len, Pass pass) {
  if (!octafold::force_kernel(k)) {
    state.SkipWithError("kernel not supported here");
    return;
  }
  for (auto _ : state) pass();
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(len));
}

// Each pass drives its routine the way the block coders do: the input in
// the pieces that one read or chunk gives them, the output into the same
// block-sized buffer each time. Output spread over megabytes would leave the
// caches and measure the memory instead.
constexpr std::size_t kRead = 2 * octafold::kMaxBlock;  // base64: two blocks a read
constexpr std::size_t kQpChunk = 16 * 1024;             // quoted-printable chunks

void base64_encode_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
                        std::vector<unsigned char> &out) {
  constexpr std::size_t per_read = kRead / octafold::kLineBytes;
  for (std::size_t left = len / octafold::kLineBytes, i = 0; left != 0;) {
    const std::size_t lines = std::min(left, per_read);
    ops.encode_lines(in.data() + i, lines, reinterpret_cast<char *>(out.data()));
    benchmark::ClobberMemory();
    i += lines * octafold::kLineBytes;
    left -= lines;
  }
}

// A "From " near the end of the input is skipped.
void qp_encode_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
                    std::vector<unsigned char> &out) {
  octafold::QpState st{0, octafold::kNeutral};
  for (std::size_t i = 0; i < len;) {
    unsigned char *o = out.data();
    const std::size_t used = ops.qp_encode(in.data() + i, len - i, &o,
                                           out.data() + kQpChunk + octafold::kQpEncodeRoom, st);
    benchmark::DoNotOptimize(o);
    i += used == 0 ? 1 : used;
  }
}

void qp_decode_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
                    std::vector<unsigned char> &out) {
  for (std::size_t i = 0; i < len;) {
    unsigned char *o = out.data();
    const std::size_t m = std::min(len - i, kQpChunk);
    const std::size_t used = ops.qp_decode(in.data() + i, m, &o);
    benchmark::DoNotOptimize(o);
    i += used == 0 ? 1 : used;  // an item cut by the end of the input
  }
}

void base64_decode_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
                        std::vector<unsigned char> &out) {
  for (std::size_t i = 0; i < len;) {
    unsigned char *o = out.data();
    const std::size_t m = std::min(len - i, kRead);
    const std::size_t used = ops.decode_lines(in.data() + i, m, &o);
    benchmark::DoNotOptimize(o);
    i += used == 0 ? 1 : used;  // a last, shorter line
  }
}

// The LF to CR LF expansion of base64 -p, a block at a time.
void expand_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
                 std::vector<unsigned char> &out) {
  for (std::size_t i = 0; i < len; i += octafold::kMaxBlock) {
    const std::size_t m = std::min(len - i, octafold::kMaxBlock);
    benchmark::DoNotOptimize(ops.expand_lf(in.data() + i, m, out.data()));
  }
}

// The CR LF folding of base64 -p -u, which works in place: each block is
// copied in first, and the copy is timed with it.
void fold_pass(const KernelOps &ops, const std::vector<unsigned char> &in, std::size_t len,
               std::vector<unsigned char> &out) {
  for (std::size_t i = 0; i < len; i += kRead) {
    const std::size_t m = std::min(len - i, kRead);
    std::memcpy(out.data(), in.data() + i, m);
    std::size_t kept = 0;
    benchmark::DoNotOptimize(ops.fold_crlf(out.data(), m, &kept));
    benchmark::ClobberMemory();
  }
}

const char *name_of(Kernel k) {
  switch (k) {
    case Kernel::portable: return "portable";
    case Kernel::ssse3: return "ssse3";
    case Kernel::avx2: return "avx2";
    case Kernel::avx512: return "avx512";
  }
  return "?";
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fputs("usage: kernels_bench DIR [benchmark options]\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  // Kept for the whole run: the benchmarks refer to them.
  static std::vector<std::vector<unsigned char>> inputs;
  inputs.reserve(16);
  // One coder's output buffer, with room for a read's worth of output.
  static std::vector<unsigned char> out(4 * kRead);
  const auto input = [&](const char *name) -> const std::vector<unsigned char> * {
    inputs.push_back(load(dir + "/" + name));
    if (inputs.back().size() <= octafold::kSlack) {
      std::fprintf(stderr, "kernels_bench: no %s/%s (bench.py builds it)\n", dir.c_str(), name);
      return nullptr;
    }
    return &inputs.back();
  };
  const auto *random = input("random64");
  const auto *b64 = input("random256.b64");
  const auto *euro = input("euro64");
  const auto *cyrgr = input("cyrgr64");
  const auto *euro_qp = input("euro64.qp");
  const auto *cyrgr_qp = input("cyrgr64.qp");
  if (random == nullptr || b64 == nullptr || euro == nullptr || cyrgr == nullptr ||
      euro_qp == nullptr || cyrgr_qp == nullptr) {
    return 2;
  }
  const auto size = [](const std::vector<unsigned char> *v) {
    return v->size() - octafold::kSlack;
  };
  // The European text with CR LF line ends, as base64 -p -u decodes it.
  inputs.emplace_back(2 * size(euro) + octafold::kSlack);
  auto *const euro_crlf = &inputs.back();
  euro_crlf->resize(
      octafold::portable_ops().expand_lf(euro->data(), size(euro), euro_crlf->data()) +
      octafold::kSlack);

  for (Kernel k : {Kernel::portable, Kernel::ssse3, Kernel::avx2, Kernel::avx512}) {
    if (!octafold::kernel_supported(k)) continue;
    const std::string kn = name_of(k);
    octafold::force_kernel(k);
    const KernelOps &ops = octafold::kernel_ops();
    const std::size_t lines = size(random) / octafold::kLineBytes;
    benchmark::RegisterBenchmark(("base64_encode_lines/" + kn).c_str(), [=](benchmark::State &s) {
      run(s, k, lines * octafold::kLineBytes,
          [&] { base64_encode_pass(ops, *random, size(random), out); });
    });
    benchmark::RegisterBenchmark(
        ("expand_lf/" + kn + "/european").c_str(), [=](benchmark::State &s) {
          run(s, k, size(euro), [&] { expand_pass(ops, *euro, size(euro), out); });
        });
    if (ops.fold_crlf != nullptr) {
      benchmark::RegisterBenchmark(
          ("fold_crlf/" + kn + "/european").c_str(), [=](benchmark::State &s) {
            run(s, k, size(euro_crlf), [&] { fold_pass(ops, *euro_crlf, size(euro_crlf), out); });
          });
    }
    if (ops.decode_lines != nullptr) {
      benchmark::RegisterBenchmark(("base64_decode_lines/" + kn).c_str(), [=](benchmark::State &s) {
        run(s, k, size(b64), [&] { base64_decode_pass(ops, *b64, size(b64), out); });
      });
    }
    if (ops.qp_encode != nullptr) {
      for (const auto &[name, v] : {std::pair{"european", euro}, std::pair{"cyrillic_greek", cyrgr},
                                    std::pair{"random", random}}) {
        benchmark::RegisterBenchmark(
            ("qp_encode/" + kn + "/" + name).c_str(), [=, v = v](benchmark::State &s) {
              run(s, k, size(v), [&] { qp_encode_pass(ops, *v, size(v), out); });
            });
      }
    }
    if (ops.qp_decode != nullptr) {
      for (const auto &[name, v] :
           {std::pair{"european", euro_qp}, std::pair{"cyrillic_greek", cyrgr_qp}}) {
        benchmark::RegisterBenchmark(
            ("qp_decode/" + kn + "/" + name).c_str(), [=, v = v](benchmark::State &s) {
              run(s, k, size(v), [&] { qp_decode_pass(ops, *v, size(v), out); });
            });
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
