// A camera-projector calibration: each device's pinhole and lens distortion,
// and the motion from camera to projector coordinates (X_p = R X_c + T), read
// from OpenCV FileStorage files (YAML through libyaml, XML through tinyxml2),
// or taken from arrays (Python). Every entry is checked where it comes in, and a bad
// one is refused with a message that names it.
#pragma once

#include <string>
#include <vector>

#include "shared/lens_model.h"

namespace phaze_internal {

struct calibration {
    lens camera, projector;
    double R[9], T[3];  // X_p = R X_c + T, R row-major
};

// The entries under the names of the calibration tools' single file; OpenCV's
// stereo pair calls them M1, D1, M2, D2 (in one file) and R, T (in another).
enum calibration_entry { CAMERA_K, CAMERA_KC, PROJECTOR_K, PROJECTOR_KC, ROTATION, TRANSLATION };
const int CALIBRATION_ENTRIES = 6;
extern const char *const calibration_entry_names[CALIBRATION_ENTRIES];

// Stores one entry given as a rows x cols matrix (row-major; a 3x3 one may
// come as 9 values in a row or a column), every value finite. K: 3x3 with
// fx, fy > 0 and the last row 0 0 1. Distortion: 1xN or Nx1, N 4, 5, 8, 12 or
// 14 (OpenCV's order; 14 only with a zero tilt). R: a 3x3 rotation, or a
// rotation vector 3x1 or 1x3. T: 3x1 or 1x3, not zero. 0, or 1 with *reason
// saying what is wrong, naming the entry as shown.
int set_calibration_entry(calibration_entry entry, const char *shown, int rows, int cols,
                          const double *values, calibration *rig, std::string *reason);

// One path: the single file with cam_K, cam_kc, proj_K, proj_kc, R and T.
// Two paths: OpenCV's stereo pair in either order, the file with M1 taken for
// M1, D1, M2, D2 (camera first, projector second), the other for R and T.
// Only files of at most 1 MiB without NUL bytes that begin as a FileStorage
// YAML or XML document are handed to the parsers. 0, or 1 with *reason,
// "FILE: what is wrong".
int read_calibration(const std::vector<std::string> &paths, calibration *rig, std::string *reason);

}  // namespace phaze_internal
