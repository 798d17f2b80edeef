// One device of a camera-projector rig as OpenCV models it: a pinhole with the
// matrix K and OpenCV's lens distortion, pixels in OpenCV's convention (the
// centre of the first pixel is 0). What the triangulation and the scene
// renderer both look through.
#pragma once

namespace phaze_internal {

// OpenCV's coefficients in its order: k1 k2 p1 p2 k3 k4 k5 k6 s1 s2 s3 s4;
// those a file does not give are zero.
const int DISTORTION_TERMS = 12;

struct lens {
    double K[9];  // row-major: fx skew cx / 0 fy cy / 0 0 1
    double distortion[DISTORTION_TERMS];
};

// Distorted normalised coordinates of the undistorted (x, y); jacobian (when
// not null) gets d(xd, yd)/d(x, y), row-major.
void distort(const lens &l, double x, double y, double *xd, double *yd, double jacobian[4]);

// The inverse of distort, by Newton's method from the distorted point. False
// where it does not converge, or converges where the model folds over
// (its Jacobian is not positive there), which no real lens shows.
bool undistort(const lens &l, double xd, double yd, double *x, double *y);

// Pixel of the distorted normalised coordinates, and back.
void to_pixel(const lens &l, double xd, double yd, double *u, double *v);
void from_pixel(const lens &l, double u, double v, double *xd, double *yd);

// The pixel a point in the device's own coordinates projects to (z > 0).
void project(const lens &l, const double point[3], double *u, double *v);

}  // namespace phaze_internal
