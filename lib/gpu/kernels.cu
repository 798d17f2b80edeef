// The four phase kernels on the GPU and their launchers: 64 threads a block,
// SIZE/64 + 1 blocks, default stream. Each thread evaluates the shared math of
// kernel.h for its own element.
#include "math/kernel.h"
#include "math/launch.h"
#include "gpu/gpu.h"

namespace phaze_internal {

__global__ void find_circle_f(double *X, double *Y, double *Z, int SIZE) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= SIZE) return;
    difference_point(X[i], Y[i], Z[i]);
}

__global__ void rotate_cuda(double *X, double *Y, double *Z, int SIZE, double x0, double x1,
                            double x2, double y0, double y1, double y2, double z0, double z1,
                            double z2) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= SIZE) return;
    const levelling r = levelling_angles(x0, x1, x2, y0, y1, y2, z0, z1, z2);
    level_point(r, X[i], Y[i], Z[i]);
}

__global__ void find_circle_s(double *X, double *Y, double *Z, double q11, double q12, double q21,
                              double q22, int SIZE) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= SIZE) return;
    const circle_projection p = projection_from_moments(q11, q12, q22);
    (void)q21;  // the moment matrix is symmetric: q12 serves for both
    project_point(p, X[i], Y[i], Z[i]);
}

__global__ void phaze_cuda(const double *X, const double *Y, double *phaze, int SIZE) {
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= SIZE) return;
    phaze[i] = polar_phase(X[i], Y[i]);
}

int launch_find_circle_f(double *X, double *Y, double *Z, int SIZE) {
    find_circle_f<<<launch_blocks(SIZE), THREADS_PER_BLOCK>>>(X, Y, Z, SIZE);
    return gpu_launch_result();
}

int launch_rotate_cuda(double *X, double *Y, double *Z, int SIZE, double x0, double x1, double x2,
                       double y0, double y1, double y2, double z0, double z1, double z2) {
    rotate_cuda<<<launch_blocks(SIZE), THREADS_PER_BLOCK>>>(X, Y, Z, SIZE, x0, x1, x2, y0, y1, y2,
                                                            z0, z1, z2);
    return gpu_launch_result();
}

int launch_find_circle_s(double *X, double *Y, double *Z, double q11, double q12, double q21,
                         double q22, int SIZE) {
    find_circle_s<<<launch_blocks(SIZE), THREADS_PER_BLOCK>>>(X, Y, Z, q11, q12, q21, q22, SIZE);
    return gpu_launch_result();
}

int launch_phaze_cuda(const double *X, const double *Y, double *phaze, int SIZE) {
    phaze_cuda<<<launch_blocks(SIZE), THREADS_PER_BLOCK>>>(X, Y, phaze, SIZE);
    return gpu_launch_result();
}

}  // namespace phaze_internal
