// 3-D points from a calibrated camera and projector: each camera pixel's ray
// meets the surface where the projector's column (and row) that lit it says.
#pragma once

#include "shared/calibration.h"

namespace phaze_internal {

// A ray that meets a column's surface (with a row too, the projector's ray) at
// less than this gives no point: there an error in the column moves the point
// along the ray by more than 29 times the width it spans on the surface.
const double MIN_TRIANGULATION_ANGLE = 2 * 3.14159265358979323846 / 180;

// The point of camera pixel (x, y) whose projection into the projector has
// column u (and row *v where v is not null), in camera coordinates: with the
// column alone the point of the ray that projects onto it, with both the
// point of the ray nearest to them in projector pixels. False where there is
// none: behind either device, a ray nearly parallel to the column's surface
// (with both: to the projector's ray), or a pixel the lens model cannot undo.
bool triangulate_pixel(const calibration &rig, double x, double y, double u, const double *v,
                       double point[3]);

// The depth along the camera ray d (in units of d) of its point nearest to the
// projector's ray q (projector coordinates, from its centre); NaN where the
// rays are parallel.
double nearest_to_projector_ray(const calibration &rig, const double d[3], const double q[3]);

// Every pixel of a width x height camera image (row-major) where mask (null:
// all) is non-zero and column (and row, where not null) is finite: xyz gets
// three doubles a pixel, NaN where there is no point. The number of points.
// The same on any number of threads.
long long triangulate(const calibration &rig, int width, int height, const double *column,
                      const double *row, const unsigned char *mask, double *xyz);

}  // namespace phaze_internal
