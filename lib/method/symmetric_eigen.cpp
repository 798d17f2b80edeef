#include "method/symmetric_eigen.h"

#include <math.h>

#include <vector>

namespace phaze_internal {

void symmetric_eigen(double *a, int n, double *values, double *vectors) {
    std::vector<double> v((size_t)n * n, 0.0);  // columns: the eigenvectors
    for (int i = 0; i < n; i++) v[(size_t)i * n + i] = 1;
    for (int sweep = 0; sweep < 100; sweep++) {
        double off = 0, diagonal = 0;
        for (int p = 0; p < n; p++) {
            diagonal += a[p * n + p] * a[p * n + p];
            for (int q = p + 1; q < n; q++) off += a[p * n + q] * a[p * n + q];
        }
        if (!(off > 1e-30 * diagonal)) break;
        for (int p = 0; p < n; p++)
            for (int q = p + 1; q < n; q++) {
                const double apq = a[p * n + q];
                if (apq == 0) continue;
                // The rotation that zeroes a[p][q] (Golub and Van Loan, 8.4).
                const double tau = (a[q * n + q] - a[p * n + p]) / (2 * apq);
                const double t = (tau >= 0 ? 1 : -1) / (fabs(tau) + sqrt(1 + tau * tau));
                const double c = 1 / sqrt(1 + t * t), s = t * c;
                for (int k = 0; k < n; k++) {  // columns p and q
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq, a[k * n + q] = s * akp + c * akq;
                }
                for (int k = 0; k < n; k++) {  // rows p and q
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk, a[q * n + k] = s * apk + c * aqk;
                }
                for (int k = 0; k < n; k++) {
                    const double vkp = v[(size_t)k * n + p], vkq = v[(size_t)k * n + q];
                    v[(size_t)k * n + p] = c * vkp - s * vkq,
                                      v[(size_t)k * n + q] = s * vkp + c * vkq;
                }
            }
    }
    std::vector<int> order(n);
    for (int i = 0; i < n; i++) order[i] = i;
    for (int i = 0; i < n; i++)  // a selection sort: n is small
        for (int j = i + 1; j < n; j++)
            if (a[order[j] * n + order[j]] > a[order[i] * n + order[i]]) {
                const int t = order[i];
                order[i] = order[j], order[j] = t;
            }
    for (int i = 0; i < n; i++) {
        values[i] = a[order[i] * n + order[i]];
        for (int k = 0; k < n; k++) vectors[i * n + k] = v[(size_t)k * n + order[i]];
    }
}

}  // namespace phaze_internal
