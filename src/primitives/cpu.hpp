// What the processor offers beyond the baseline instruction set, detected once
// per process.  Every engine picks its kernels from this one record, so no two
// parts of the core can disagree about the machine.
#pragma once

// Kernels built for wider instruction sets exist only where the compiler can
// target them per function and the processor can be asked at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#define CLADOMATIC_X86_KERNELS 1
#else
#define CLADOMATIC_X86_KERNELS 0
#endif

namespace cladomatic {

struct CpuFeatures {
  bool popcnt = false;
  bool avx2 = false;
  bool avx512f = false;
  bool avx512_popcount = false;  // AVX512F with VPOPCNTQ
};

const CpuFeatures& cpu_features() noexcept;

// Which vector instructions a kernel may use: the widest the processor has,
// or the baseline ones.  Both give the same bits.
enum class Simd { kAuto, kBaseline };

}  // namespace cladomatic
