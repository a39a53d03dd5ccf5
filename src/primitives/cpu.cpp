#include "cpu.hpp"

namespace cladomatic {

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = [] {
    CpuFeatures found;
#if CLADOMATIC_X86_KERNELS
    __builtin_cpu_init();
    found.popcnt = __builtin_cpu_supports("popcnt");
    found.avx2 = __builtin_cpu_supports("avx2");
    found.avx512f = __builtin_cpu_supports("avx512f");
    found.avx512_popcount = found.avx512f && __builtin_cpu_supports("avx512vpopcntdq");
#endif
    return found;
  }();
  return features;
}

}  // namespace cladomatic
