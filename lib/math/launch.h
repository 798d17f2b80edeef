// Launchers of the four phase kernels. Each returns 0 when the launch was
// accepted and 1 when the runtime refused it (gpu_error_text says why). A launch
// returns before the kernel ends; gpu_synchronize or a download waits for it.
#pragma once

namespace phaze_internal {

int launch_find_circle_f(double *X, double *Y, double *Z, int SIZE);
int launch_rotate_cuda(double *X, double *Y, double *Z, int SIZE, double x0, double x1, double x2,
                       double y0, double y1, double y2, double z0, double z1, double z2);
int launch_find_circle_s(double *X, double *Y, double *Z, double q11, double q12, double q21,
                         double q22, int SIZE);
int launch_phaze_cuda(const double *X, const double *Y, double *phaze, int SIZE);

}  // namespace phaze_internal
