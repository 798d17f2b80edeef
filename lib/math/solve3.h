// Small linear systems of the model's fits, by Cramer's rule.
#pragma once

#include <math.h>
#include <string.h>

namespace phaze_internal {

// Solves the symmetric 3 x 3 system m v = r; 0 when it is singular.
inline int solve3(const double m[3][3], const double r[3], double v[3]) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(fabs(det) > 1e-300)) return 0;
    for (int c = 0; c < 3; c++) {
        double t[3][3];
        memcpy(t, m, sizeof t);
        for (int k = 0; k < 3; k++) t[k][c] = r[k];
        v[c] = (t[0][0] * (t[1][1] * t[2][2] - t[1][2] * t[2][1]) -
                t[0][1] * (t[1][0] * t[2][2] - t[1][2] * t[2][0]) +
                t[0][2] * (t[1][0] * t[2][1] - t[1][1] * t[2][0])) /
               det;
    }
    return 1;
}

}  // namespace phaze_internal
