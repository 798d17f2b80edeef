// Compiled with -mavx512f; called only where the processor has it.
#include <immintrin.h>
#include <math.h>
#include <sleef.h>

namespace phaze_internal {

int polar_phase_block_avx512(const double *x, const double *y, double *p, int n) {
    const __m512d pi = _mm512_set1_pd(3.141592653589793);
    int k = 0;
    for (; k + 8 <= n; k += 8)
        _mm512_storeu_pd(p + k, _mm512_add_pd(Sleef_atan2d8_u10avx512f(_mm512_loadu_pd(y + k),
                                                                       _mm512_loadu_pd(x + k)),
                                              pi));
    for (; k < n; k++) p[k] = atan2(y[k], x[k]) + 3.141592653589793;
    return 1;
}

}  // namespace phaze_internal
