// The four phase kernels on the host's cores: the launch shape's elements become
// one OpenMP loop each. What every element of a launch shares (the rotation
// angles, the projection direction) is worked out once, before the loop.
#include "math/kernel.h"
#include "math/launch.h"
#include "gpu/gpu.h"

namespace phaze_internal {

static int admit(int SIZE) { return gpu_admit_launch(launch_blocks(SIZE), THREADS_PER_BLOCK); }

int launch_find_circle_f(double *X, double *Y, double *Z, int SIZE) {
    if (admit(SIZE)) return 1;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < SIZE; i++) difference_point(X[i], Y[i], Z[i]);
    return 0;
}

int launch_rotate_cuda(double *X, double *Y, double *Z, int SIZE, double x0, double x1, double x2,
                       double y0, double y1, double y2, double z0, double z1, double z2) {
    if (admit(SIZE)) return 1;
    const levelling r = levelling_angles(x0, x1, x2, y0, y1, y2, z0, z1, z2);
#pragma omp parallel for schedule(static)
    for (int i = 0; i < SIZE; i++) level_point(r, X[i], Y[i], Z[i]);
    return 0;
}

int launch_find_circle_s(double *X, double *Y, double *Z, double q11, double q12, double q21,
                         double q22, int SIZE) {
    if (admit(SIZE)) return 1;
    const circle_projection p = projection_from_moments(q11, q12, q22);
    (void)q21;  // the moment matrix is symmetric: q12 serves for both
#pragma omp parallel for schedule(static)
    for (int i = 0; i < SIZE; i++) project_point(p, X[i], Y[i], Z[i]);
    return 0;
}

int launch_phaze_cuda(const double *X, const double *Y, double *phaze, int SIZE) {
    if (admit(SIZE)) return 1;
#pragma omp parallel for schedule(static)
    for (int i = 0; i < SIZE; i++) phaze[i] = polar_phase(X[i], Y[i]);
    return 0;
}

}  // namespace phaze_internal
