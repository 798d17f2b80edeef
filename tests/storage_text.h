// Calibration files as OpenCV's FileStorage writer lays them out, YAML or
// XML, byte for byte (its number forms, its line wrapping), so that the tests
// write what calibration tools write without linking OpenCV.
#pragma once

#include <string>
#include <vector>

struct stored_matrix {
    std::string name;
    int rows = 0, cols = 0;
    std::vector<double> values;  // row-major, float64 ("dt: d")
};

stored_matrix matrix_of(const std::string &name, int rows, int cols, const double *values);

// A FileStorage document of the matrices, in order; extension ".yml" or ".xml".
std::string storage_text(const std::vector<stored_matrix> &matrices, const char *extension);
