#include "math/vector_math.h"

#include "math/kernel.h"

namespace phaze_internal {

// In vector_math_avx2.cpp and vector_math_avx512.cpp, compiled for those
// instruction sets and called only where the processor has them.
int polar_phase_block_avx2(const double *x, const double *y, double *p, int n);
int polar_phase_block_avx512(const double *x, const double *y, double *p, int n);

static int instruction_set(void) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return 512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 2;
    return 0;
}
static const int best = instruction_set();

void polar_phase_block(const double *x, const double *y, double *p, int n) {
    if (best == 512 && polar_phase_block_avx512(x, y, p, n)) return;
    if (best == 2 && polar_phase_block_avx2(x, y, p, n)) return;
    for (int k = 0; k < n; k++) p[k] = polar_phase(x[k], y[k]);
}

}  // namespace phaze_internal
