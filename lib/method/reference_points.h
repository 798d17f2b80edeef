// The three points whose plane a levelling rotation lays flat. They are pixels 0,
// 1 and 2 as they stand on the device; where those do not span a plane (equal
// pixels of a uniform border, collinear samples) the driver takes three points
// of the plane that the kernels have just produced instead.
#pragma once

#include "math/kernel.h"

namespace phaze_internal {

struct reference_points {
    double x[3], y[3], z[3];
};

reference_points first_pixels(const double *X, const double *Y, const double *Z);

// 1 when the points span a plane: a finite normal, and edges that are not
// parallel to within about 1e-9 radians.
int spans_plane(const reference_points &p);

// The origin and two points that span the plane through it perpendicular to n.
reference_points plane_through_origin(double nx, double ny, double nz);

// Reference points for the first rotation: the difference transform put every
// point into the plane X + Y + Z = 0.
reference_points first_rotation_points(const reference_points &fetched);

// Reference points for the second rotation: the projection put every point into
// the plane perpendicular to its direction, or left them in Z = 0.
reference_points second_rotation_points(const reference_points &fetched,
                                        const circle_projection &projection);

// The rotation that lays the plane of p flat.
levelling levelling_of(const reference_points &p);

}  // namespace phaze_internal
