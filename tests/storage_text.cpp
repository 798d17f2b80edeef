#include "tests/storage_text.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

stored_matrix matrix_of(const std::string &name, int rows, int cols, const double *values) {
    return {name, rows, cols, std::vector<double>(values, values + rows * cols)};
}

// Whole numbers in int's range as "3.", the others to 17 digits.
static std::string opencv_number(double v) {
    if (isnan(v)) return ".Nan";
    if (isinf(v)) return v < 0 ? "-.Inf" : ".Inf";
    if (fabs(v) < 2147483647.0 && v == (double)(int)v) return std::to_string((int)v) + ".";
    char text[32];
    snprintf(text, sizeof text, "%.16e", v);
    return text;
}

static std::string yaml_matrix(const stored_matrix &m) {
    std::string text = m.name + ": !!opencv-matrix\n   rows: " + std::to_string(m.rows) +
                       "\n   cols: " + std::to_string(m.cols) + "\n   dt: d\n   data: [";
    size_t line = text.size() - strlen("   data: [");
    for (size_t k = 0; k < m.values.size(); k++) {
        const std::string number = opencv_number(m.values[k]);
        if (k > 0) text += ",";
        if (text.size() - line + number.size() > 71) {
            text += "\n       ";
            line = text.size() - 7;
        } else {
            text += " ";
        }
        text += number;
    }
    return text + (m.values.empty() ? "]\n" : " ]\n");
}

static std::string xml_matrix(const stored_matrix &m) {
    std::string text = "<" + m.name + " type_id=\"opencv-matrix\">\n  <rows>" +
                       std::to_string(m.rows) + "</rows>\n  <cols>" + std::to_string(m.cols) +
                       "</cols>\n  <dt>d</dt>\n  <data>";
    size_t line = 0;
    for (size_t k = 0; k < m.values.size(); k++) {
        const std::string number = opencv_number(m.values[k]);
        if (k == 0 || text.size() - line + 1 + number.size() > 72) {
            text += "\n    ";
            line = text.size() - 4;
        } else {
            text += " ";
        }
        text += number;
    }
    return text + "</data></" + m.name + ">\n";
}

std::string storage_text(const std::vector<stored_matrix> &matrices, const char *extension) {
    const bool xml = strcmp(extension, ".xml") == 0;
    std::string text = xml ? "<?xml version=\"1.0\"?>\n<opencv_storage>\n" : "%YAML:1.0\n---\n";
    for (const stored_matrix &m : matrices) text += xml ? xml_matrix(m) : yaml_matrix(m);
    return xml ? text + "</opencv_storage>\n" : text;
}
