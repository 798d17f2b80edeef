#include "shared/calibration.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "shared/storage_document.h"

namespace phaze_internal {

const char *const calibration_entry_names[CALIBRATION_ENTRIES] = {"cam_K",   "cam_kc", "proj_K",
                                                                  "proj_kc", "R",      "T"};

// Calibration files are a few kilobytes; a bound keeps the parsers away from
// whatever large file is named by mistake.
static const long MAX_CALIBRATION_BYTES = 1 << 20;
// No entry of a calibration is larger; it keeps a file from asking for a
// matrix of any size.
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

// The file's text, when it may be a FileStorage YAML or XML document: the
// parsers are only asked about text of that kind and size.
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
    return 0;
}

static bool whole_number(const storage_node &node, long long *value) {
    double number;
    if (!storage_number(node, &number) || !(fabs(number) < 1e15) || number != floor(number))
        return false;
    *value = (long long)number;
    return true;
}

// A list's numbers appended to *values; false where one is not a number.
static bool append_numbers(const storage_document &d, const storage_node &list,
                           std::vector<double> *values) {
    for (int c = list.first_child; c >= 0; c = d.nodes[c].next_sibling) {
        double value;
        if (!storage_number(d.nodes[c], &value)) return false;
        values->push_back(value);
    }
    return true;
}

// An opencv-matrix: rows, cols and data (its dt aside: any number will do).
static int matrix_of_map(const storage_document &d, int map, const std::string &name, int *rows,
                         int *cols, std::vector<double> *values, std::string *reason) {
    const int r = storage_child(d, map, "rows"), c = storage_child(d, map, "cols");
    const int data = storage_child(d, map, "data");
    long long row_count, col_count;
    double one;
    if (r < 0 || c < 0 || data < 0 || !whole_number(d.nodes[r], &row_count) ||
        !whole_number(d.nodes[c], &col_count) ||
        (d.nodes[data].kind != STORAGE_LIST && !storage_number(d.nodes[data], &one)))
        return refuse(reason,
                      name + " is not a matrix: an opencv-matrix has rows, cols, dt and data");
    if (row_count < 0 || col_count < 0 || row_count > MAX_ENTRY_SIDE ||
        col_count > MAX_ENTRY_SIDE)
        return refuse(reason, name + " has " + std::to_string(row_count) + " rows and " +
                                  std::to_string(col_count) +
                                  " columns: no calibration entry is that large");
    *rows = (int)row_count, *cols = (int)col_count;
    // One value may come as itself, as OpenCV's XML writes a 1x1 matrix.
    const storage_node &values_node = d.nodes[data];
    const int count = values_node.kind == STORAGE_LIST ? values_node.children : 1;
    if (count != *rows * *cols)
        return refuse(reason, name + " is " + shape_text(*rows, *cols) + " but its data " +
                                  "holds " + std::to_string(count) + " values");
    if (values_node.kind != STORAGE_LIST)
        values->push_back(one);
    else if (!append_numbers(d, values_node, values))
        return refuse(reason, name + " holds something that is not a number");
    return 0;
}

// An entry's values as a matrix: an opencv-matrix, a number, a flat list of
// numbers (one column) or a list of equal rows.
static int matrix_of_node(const storage_document &d, int index, const char *key, int *rows,
                          int *cols, std::vector<double> *values, std::string *reason) {
    const std::string name = key;
    const storage_node &node = d.nodes[index];
    values->clear();
    double value;
    if (storage_number(node, &value)) {
        *rows = *cols = 1;
        values->push_back(value);
        return 0;
    }
    if (node.kind == STORAGE_MAP)
        return matrix_of_map(d, index, name, rows, cols, values, reason);
    if (node.kind != STORAGE_LIST) return refuse(reason, name + " is not a matrix");
    const int count = node.children;
    if (count == 0 || count > MAX_ENTRY_SIDE * MAX_ENTRY_SIDE)
        return refuse(reason, name + " is a list of " + std::to_string(count) + " values, " +
                                  "not a calibration entry");
    const storage_node &first = d.nodes[node.first_child];
    *rows = count, *cols = first.kind == STORAGE_LIST ? first.children : 1;
    for (int r = node.first_child; r >= 0; r = d.nodes[r].next_sibling) {
        const storage_node &element = d.nodes[r];
        if (element.kind != STORAGE_LIST) {
            if (*cols != 1 || !storage_number(element, &value))
                return refuse(reason, name + " holds something that is not a number");
            values->push_back(value);
            continue;
        }
        if (element.children != *cols || *cols > MAX_ENTRY_SIDE)
            return refuse(reason, name + " is a list of rows of different lengths");
        if (!append_numbers(d, element, values))
            return refuse(reason, name + " holds something that is not a number");
    }
    return 0;
}

struct storage {
    std::string path;
    storage_document document;
};

static int open_storage(const std::string &path, storage *s, std::string *reason) {
    s->path = path;
    std::string text;
    if (read_storage_text(path, &text, reason) != 0) return 1;
    const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int failed;
    if (text.compare(start, 5, "%YAML") == 0)
        failed = read_yaml_storage(text, &s->document, reason);
    else if (text.compare(start, 5, "<?xml") == 0)
        failed = read_xml_storage(text, &s->document, reason);
    else
        return refuse(reason,
                      "is not an OpenCV FileStorage YAML or XML file (it must begin with %YAML "
                      "or <?xml)");
    if (failed) return 1;
    if (s->document.nodes.empty() || s->document.nodes[0].kind != STORAGE_MAP)
        return refuse(reason, "holds no named entries: not a calibration file");
    return 0;
}

static int read_entry(const storage &s, calibration_entry entry, const char *key, calibration *rig,
                      std::string *reason) {
    bool repeated = false;
    const int node = storage_child(s.document, 0, key, &repeated);
    if (node < 0) return refuse(reason, std::string("no key ") + key);
    if (repeated) return refuse(reason, std::string("has the key ") + key + " more than once");
    int rows = 0, cols = 0;
    std::vector<double> values;
    if (matrix_of_node(s.document, node, key, &rows, &cols, &values, reason) != 0) return 1;
    return set_calibration_entry(entry, key, rows, cols, values.data(), rig, reason);
}

static bool has_key(const storage &s, const char *key) {
    return storage_child(s.document, 0, key) >= 0;
}

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
    } catch (const std::bad_alloc &) {
        failed = 1, why = "not enough memory to read it";
    }
    if (failed) *reason = file + ": " + why;
    return failed;
}

}  // namespace phaze_internal
