// Kernel selection and the block size of the block paths.
#include "kernels.h"

#include "scalar.h"

namespace octafold {
namespace {

void encode_lines_portable(const unsigned char *in, std::size_t lines, char *out) {
  for (std::size_t l = 0; l < lines; ++l) {
    scalar::encode_line(in + l * kLineBytes, out + l * (kLineChars + 1));
  }
}

constexpr KernelOps kPortable = {encode_lines_portable,
                                 scalar::decode_groups,
                                 scalar::expand_lf,
                                 scalar::qp_plain_run,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 scalar::find_dash_line};

bool cpu_has(Kernel k) {
#if defined(__x86_64__) || defined(__i386__)
  // The selection below runs from a static initializer, possibly before
  // the CPU model has been read.
  __builtin_cpu_init();
  switch (k) {
    case Kernel::portable: return true;
    case Kernel::ssse3: return __builtin_cpu_supports("ssse3");
    // The AVX2 decoder kernels count bits with POPCNT, which every AVX2
    // CPU has; a virtual machine may still hide it.
    case Kernel::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    case Kernel::avx512:
      return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("popcnt");
  }
  return false;
#else
  return k == Kernel::portable;
#endif
}

const KernelOps &ops_of(Kernel k) {
  switch (k) {
    case Kernel::ssse3: return ssse3_ops();
    case Kernel::avx2: return avx2_ops();
    case Kernel::avx512: return avx512_ops();
    case Kernel::portable: break;
  }
  return portable_ops();
}

Kernel best_kernel() {
  for (Kernel k : {Kernel::avx512, Kernel::avx2, Kernel::ssse3}) {
    if (cpu_has(k)) return k;
  }
  return Kernel::portable;
}

struct Selection {
  Kernel kernel;
  const KernelOps *ops;  // null until chosen
};
constinit Selection g_selection{Kernel::portable, nullptr};

// Per thread, so that a test that shrinks it does not race with coders
// running in other threads. Initial-exec: eight bytes of static TLS, so the
// shared library needs no __tls_get_addr from the dynamic loader.
constinit thread_local std::size_t t_block [[gnu::tls_model("initial-exec")]] = kMaxBlock;

// Chosen at the first use, which may come from another static initializer;
// only tests change it afterwards.
Selection &selection() {
  if (g_selection.ops == nullptr) {
    g_selection.kernel = best_kernel();
    g_selection.ops = &ops_of(g_selection.kernel);
  }
  return g_selection;
}

// Chooses before main, so that threads started later only read.
[[maybe_unused]] const bool g_chosen_at_start = selection().ops != nullptr;

}  // namespace

const KernelOps &portable_ops() { return kPortable; }
const KernelOps &kernel_ops() { return *selection().ops; }
Kernel active_kernel() { return selection().kernel; }
bool kernel_supported(Kernel k) { return cpu_has(k); }

bool force_kernel(Kernel k) {
  if (!cpu_has(k)) return false;
  selection().kernel = k;
  selection().ops = &ops_of(k);
  return true;
}

void set_block_size(std::size_t bytes) {
  t_block = bytes < 1 ? 1 : bytes > kMaxBlock ? kMaxBlock : bytes;
}
std::size_t block_size() { return t_block; }

}  // namespace octafold
