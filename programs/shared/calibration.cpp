#include "shared/calibration.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include <opencv2/core.hpp>

namespace phaze_internal {

const char *const calibration_entry_names[CALIBRATION_ENTRIES] = {"cam_K",   "cam_kc", "proj_K",
                                                                  "proj_kc", "R",      "T"};

// Calibration files are a few kilobytes; a bound keeps OpenCV's parser away
// from whatever large file is named by mistake.
static const long MAX_CALIBRATION_BYTES = 1 << 20;
// No entry of a calibration is larger; it keeps a file from asking OpenCV's
// reader, or ours, for a matrix of any size.
static const int MAX_ENTRY_SIDE = 16;
// Files written by calibration tools hold R to 15 digits; this lets a hand-typed
// one with six through and refuses anything that is not a rotation.
static const double ROTATION_TOLERANCE = 1e-5;

static int refuse(std::string *reason, const std::string &text) {
    *reason = text;
    return 1;
}

static std::string shape_text(int rows, int cols) {
    return std::to_string(rows) + "x" + std::to_string(cols);
}

static int set_camera_matrix(const char *shown, int rows, int cols, const double *v, lens *l,
                             std::string *reason) {
    if (rows != 3 || cols != 3)
        return refuse(reason, std::string(shown) + " must be a 3x3 camera matrix, not " +
                                  shape_text(rows, cols));
    if (!(v[0] > 0 && v[4] > 0) || v[3] != 0 || v[6] != 0 || v[7] != 0 || v[8] != 1)
        return refuse(reason, std::string(shown) +
                                  " is not a camera matrix: it must be fx s cx, 0 fy cy, 0 0 1 "
                                  "with fx and fy above 0");
    memcpy(l->K, v, sizeof l->K);
    return 0;
}

static int set_distortion(const char *shown, int rows, int cols, const double *v, lens *l,
                          std::string *reason) {
    const int count = rows * cols;
    if ((rows != 1 && cols != 1) ||
        (count != 4 && count != 5 && count != 8 && count != 12 && count != 14))
        return refuse(reason, std::string(shown) +
                                  " must hold 4, 5, 8, 12 or 14 distortion coefficients as 1xN or "
                                  "Nx1, not " +
                                  shape_text(rows, cols));
    if (count == 14 && (v[12] != 0 || v[13] != 0))
        return refuse(reason, std::string(shown) +
                                  " has a tilted sensor (its last two coefficients), which phaze "
                                  "does not model");
    for (int k = 0; k < DISTORTION_TERMS; k++) l->distortion[k] = k < count ? v[k] : 0;
    return 0;
}

// Rodrigues' formula: the rotation about v by |v| radians.
static void rotation_of_vector(const double *v, double R[9]) {
    const double angle = sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double c = cos(angle), s = sin(angle);
    double axis[3] = {1, 0, 0};
    if (angle > 0)
        for (int k = 0; k < 3; k++) axis[k] = v[k] / angle;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) R[3 * i + j] = (1 - c) * axis[i] * axis[j] + (i == j ? c : 0);
    R[1] -= s * axis[2], R[2] += s * axis[1];
    R[3] += s * axis[2], R[5] -= s * axis[0];
    R[6] -= s * axis[1], R[7] += s * axis[0];
}

static int set_rotation(const char *shown, int rows, int cols, const double *v, double R[9],
                        std::string *reason) {
    if ((rows == 3 && cols == 1) || (rows == 1 && cols == 3)) {
        rotation_of_vector(v, R);
        return 0;
    }
    if (rows != 3 || cols != 3)
        return refuse(reason, std::string(shown) +
                                  " must be a 3x3 rotation matrix or a 3x1 rotation vector, not " +
                                  shape_text(rows, cols));
    double worst = 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            double dot = 0;
            for (int k = 0; k < 3; k++) dot += v[3 * i + k] * v[3 * j + k];
            worst = fmax(worst, fabs(dot - (i == j ? 1 : 0)));
        }
    const double determinant = v[0] * (v[4] * v[8] - v[5] * v[7]) -
                               v[1] * (v[3] * v[8] - v[5] * v[6]) +
                               v[2] * (v[3] * v[7] - v[4] * v[6]);
    if (worst > ROTATION_TOLERANCE || determinant < 0)
        return refuse(reason, std::string(shown) + " is not a rotation: its rows must be " +
                                  "orthonormal (they are off by " + std::to_string(worst) +
                                  ") and its determinant 1");
    memcpy(R, v, 9 * sizeof(double));
    return 0;
}

static int set_translation(const char *shown, int rows, int cols, const double *v, double T[3],
                           std::string *reason) {
    if (!((rows == 3 && cols == 1) || (rows == 1 && cols == 3)))
        return refuse(reason, std::string(shown) + " must be a 3x1 or 1x3 translation, not " +
                                  shape_text(rows, cols));
    if (v[0] == 0 && v[1] == 0 && v[2] == 0)
        return refuse(reason, std::string(shown) +
                                  " is zero: a camera and a projector at one place see no depth");
    memcpy(T, v, 3 * sizeof(double));
    return 0;
}

int set_calibration_entry(calibration_entry entry, const char *shown, int rows, int cols,
                          const double *values, calibration *rig, std::string *reason) {
    if (rows < 0 || cols < 0) rows = cols = 0;
    for (int k = 0; k < rows * cols; k++)
        if (!isfinite(values[k]))
            return refuse(reason, std::string(shown) + " holds a value that is not a finite " +
                                      "number (row " + std::to_string(k / cols + 1) + ", column " +
                                      std::to_string(k % cols + 1) + ")");
    // Nine values in a row or a column are a 3x3 matrix in row order.
    const bool square_entry = entry == CAMERA_K || entry == PROJECTOR_K || entry == ROTATION;
    if (square_entry && rows * cols == 9 && (rows == 1 || cols == 1)) rows = cols = 3;
    switch (entry) {
        case CAMERA_K: return set_camera_matrix(shown, rows, cols, values, &rig->camera, reason);
        case PROJECTOR_K:
            return set_camera_matrix(shown, rows, cols, values, &rig->projector, reason);
        case CAMERA_KC: return set_distortion(shown, rows, cols, values, &rig->camera, reason);
        case PROJECTOR_KC:
            return set_distortion(shown, rows, cols, values, &rig->projector, reason);
        case ROTATION: return set_rotation(shown, rows, cols, values, rig->R, reason);
        case TRANSLATION: return set_translation(shown, rows, cols, values, rig->T, reason);
    }
    return refuse(reason, "no such calibration entry");
}

// The file's text, when it may be a FileStorage YAML or XML document: OpenCV
// itself is only asked about text of that kind and size.
static int read_storage_text(const std::string &path, std::string *text, std::string *reason) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return refuse(reason, strerror(errno));
    if (S_ISDIR(info.st_mode)) return refuse(reason, "is a folder, not a calibration file");
    if (info.st_size > MAX_CALIBRATION_BYTES)
        return refuse(reason, "is larger than 1 MiB: not a calibration file");
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return refuse(reason, strerror(errno));
    // One byte more than stat said, to see a file that grew meanwhile.
    text->assign((size_t)info.st_size + 1, '\0');
    const size_t got = fread(&(*text)[0], 1, text->size(), file);
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) return refuse(reason, "cannot be read");
    if (got > (size_t)info.st_size)
        return refuse(reason, "grew while it was read: not a calibration file");
    text->resize(got);
    if (memchr(text->data(), '\0', got) != nullptr)
        return refuse(reason,
                      "is a binary file, not an OpenCV FileStorage YAML or XML calibration");
    const size_t start = text->compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (text->compare(start, 5, "%YAML") != 0 && text->compare(start, 5, "<?xml") != 0)
        return refuse(reason,
                      "is not an OpenCV FileStorage YAML or XML file (it must begin with %YAML "
                      "or <?xml)");
    // OpenCV 4.6's YAML parser never returns from some documents whose "---"
    // has text after it on its line ("---L:1\n--\n-\n"); it writes "---" alone.
    if (text->compare(start, 5, "%YAML") == 0)
        for (size_t line = 0, number = 1; line < got; number++) {
            const size_t end = std::min(text->find('\n', line), got);
            if (text->compare(line, 3, "---") == 0 &&
                text->find_first_not_of(" \t\r", line + 3) < end)
                return refuse(reason, "has text after '---' on line " + std::to_string(number) +
                                          ", which OpenCV's reader cannot take");
            line = end + 1;
        }
    return 0;
}

// An entry's values as a matrix: an opencv-matrix, a flat list of numbers
// (one column) or a list of equal rows.
static int matrix_of_node(const cv::FileNode &node, const char *key, int *rows, int *cols,
                          std::vector<double> *values, std::string *reason) {
    const std::string name = key;
    auto append_number = [&](const cv::FileNode &n) {
        if (!n.isInt() && !n.isReal()) return false;
        values->push_back(n.real());
        return true;
    };
    values->clear();
    if (node.isInt() || node.isReal()) {
        *rows = *cols = 1;
        values->push_back(node.real());
        return 0;
    }
    if (node.isMap()) {
        const cv::FileNode r = node["rows"], c = node["cols"], data = node["data"];
        if (!r.isInt() || !c.isInt() || !data.isSeq())
            return refuse(reason, name + " is not a matrix: an opencv-matrix has rows, cols, dt " +
                                      "and data");
        *rows = (int)r, *cols = (int)c;
        if (*rows < 0 || *cols < 0 || *rows > MAX_ENTRY_SIDE || *cols > MAX_ENTRY_SIDE)
            return refuse(reason, name + " has " + std::to_string(*rows) + " rows and " +
                                      std::to_string(*cols) +
                                      " columns: no calibration entry is that large");
        if (data.size() != (size_t)*rows * *cols)
            return refuse(reason, name + " is " + shape_text(*rows, *cols) + " but its data " +
                                      "holds " + std::to_string(data.size()) + " values");
        for (cv::FileNodeIterator it = data.begin(); it != data.end(); ++it)
            if (!append_number(*it))
                return refuse(reason, name + " holds something that is not a number");
        return 0;
    }
    if (node.isSeq()) {
        const size_t count = node.size();
        if (count == 0 || count > (size_t)MAX_ENTRY_SIDE * MAX_ENTRY_SIDE)
            return refuse(reason, name + " is a list of " + std::to_string(count) + " values, " +
                                      "not a calibration entry");
        *rows = (int)count, *cols = 1;
        if (node[0].isSeq()) *cols = (int)node[0].size();
        for (cv::FileNodeIterator it = node.begin(); it != node.end(); ++it) {
            const cv::FileNode element = *it;
            if (!element.isSeq()) {
                if (*cols != 1 || !append_number(element))
                    return refuse(reason, name + " holds something that is not a number");
                continue;
            }
            if ((int)element.size() != *cols || *cols > MAX_ENTRY_SIDE)
                return refuse(reason, name + " is a list of rows of different lengths");
            for (cv::FileNodeIterator at = element.begin(); at != element.end(); ++at)
                if (!append_number(*at))
                    return refuse(reason, name + " holds something that is not a number");
        }
        return 0;
    }
    return refuse(reason, name + " is not a matrix");
}

struct storage {
    std::string path;
    cv::FileStorage file;
};

static int open_storage(const std::string &path, storage *s, std::string *reason) {
    s->path = path;
    std::string text;
    if (read_storage_text(path, &text, reason) != 0) return 1;
    s->file.open(text, cv::FileStorage::READ | cv::FileStorage::MEMORY);
    if (!s->file.isOpened()) return refuse(reason, "OpenCV cannot read it");
    if (!s->file.root().isMap())
        return refuse(reason, "holds no named entries: not a calibration file");
    return 0;
}

static int read_entry(const storage &s, calibration_entry entry, const char *key, calibration *rig,
                      std::string *reason) {
    const cv::FileNode node = s.file[key];
    if (node.empty()) return refuse(reason, std::string("no key ") + key);
    int rows = 0, cols = 0;
    std::vector<double> values;
    if (matrix_of_node(node, key, &rows, &cols, &values, reason) != 0) return 1;
    return set_calibration_entry(entry, key, rows, cols, values.data(), rig, reason);
}

static bool has_key(const storage &s, const char *key) { return !s.file[key].empty(); }

static int read_storages(const std::vector<std::string> &paths, calibration *rig, std::string *file,
                         std::string *reason) {
    storage files[2];
    for (size_t k = 0; k < paths.size(); k++) {
        *file = paths[k];
        if (open_storage(paths[k], &files[k], reason) != 0) return 1;
    }
    if (paths.size() == 1) {
        const storage &s = files[0];
        if (!has_key(s, "cam_K") && has_key(s, "M1"))
            return refuse(reason,
                          "no key cam_K: this is the intrinsics file of OpenCV's stereo "
                          "pair (M1, D1, M2, D2); give it together with the file of R "
                          "and T");
        for (int e = 0; e < CALIBRATION_ENTRIES; e++)
            if (read_entry(s, (calibration_entry)e, calibration_entry_names[e], rig, reason) != 0)
                return 1;
        return 0;
    }
    const int intrinsics = has_key(files[0], "M1") || !has_key(files[1], "M1") ? 0 : 1;
    const storage &in = files[intrinsics], &ex = files[1 - intrinsics];
    *file = in.path;
    if (!has_key(in, "M1"))
        return refuse(reason,
                      "no key M1: OpenCV's stereo pair is one file with M1, D1, M2 and "
                      "D2 (camera, projector) and one with R and T");
    static const char *const pair_names[4] = {"M1", "D1", "M2", "D2"};
    for (int e = 0; e < 4; e++)
        if (read_entry(in, (calibration_entry)e, pair_names[e], rig, reason) != 0) return 1;
    *file = ex.path;
    if (read_entry(ex, ROTATION, "R", rig, reason) != 0) return 1;
    return read_entry(ex, TRANSLATION, "T", rig, reason);
}

int read_calibration(const std::vector<std::string> &paths, calibration *rig, std::string *reason) {
    if (paths.size() != 1 && paths.size() != 2)
        return refuse(reason, "a calibration is one file, or OpenCV's stereo pair of two");
    std::string file = paths[0], why;
    int failed;
    try {
        failed = read_storages(paths, rig, &file, &why);
    } catch (const cv::Exception &error) {
        failed = 1, why = "OpenCV cannot read it: " + error.err;
    } catch (const std::bad_alloc &) {
        failed = 1, why = "not enough memory to read it";
    } catch (const std::exception &) {
        // OpenCV's YAML parser throws std::length_error on an empty key.
        failed = 1, why = "OpenCV cannot read it: its parser failed";
    }
    if (failed) *reason = file + ": " + why;
    return failed;
}

}  // namespace phaze_internal
