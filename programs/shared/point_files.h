// The 3-D points of a camera image as files: a PLY point cloud, a depth map
// and an xyz map, written the safe way (programs/shared/result_files.h).
#pragma once

#include <string>
#include <vector>

namespace phaze_internal {

// Three doubles a pixel (x, y, z in the calibration's unit), row-major, NaN
// where there is no point; gray (may be null) one byte a pixel.
struct point_image {
    int width = 0, height = 0;
    const double *xyz = nullptr;
    const unsigned char *gray = nullptr;
};

enum point_format { POINTS_PLY = 1, POINTS_DEPTH = 2, POINTS_XYZ = 4 };

// PREFIX_points.ply (binary little-endian: float x, y, z and, with gray, a
// uchar gray; the pixels whose three coordinates are finite, in row order),
// PREFIX_depth.tiff (float32 z, NaN where no point) and PREFIX_xyz.tiff
// (three float32 samples a pixel), those that formats (point_format bits)
// asks for: all written, or none and the files of an earlier run left as they
// were. 0 with *written the names, or 1 with the file at fault in *file and
// why in *reason.
int write_point_files(const std::string &prefix, unsigned formats, const point_image &points,
                      std::vector<std::string> *written, std::string *file, std::string *reason);

// One of the files (format: one point_format bit) into path itself, for a
// caller that writes it beside results of its own the safe way. 0, or 1 with
// *reason.
int write_point_file(point_format format, const std::string &path, const point_image &points,
                     std::string *reason);

// The PLY file alone, under any name, the same safe way; *count the points in it.
int write_ply_file(const std::string &path, const point_image &points, long long *count,
                   std::string *reason);

}  // namespace phaze_internal
