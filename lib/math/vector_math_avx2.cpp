// Compiled with -mavx2 -mfma; called only where the processor has both.
#include <immintrin.h>
#include <math.h>
#include <sleef.h>

namespace phaze_internal {

int polar_phase_block_avx2(const double *x, const double *y, double *p, int n) {
    const __m256d pi = _mm256_set1_pd(3.141592653589793);
    int k = 0;
    for (; k + 4 <= n; k += 4)
        _mm256_storeu_pd(
            p + k, _mm256_add_pd(
                       Sleef_atan2d4_u10avx2(_mm256_loadu_pd(y + k), _mm256_loadu_pd(x + k)), pi));
    for (; k < n; k++) p[k] = atan2(y[k], x[k]) + 3.141592653589793;
    return 1;
}

}  // namespace phaze_internal
