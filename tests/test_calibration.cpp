// Calibration files: the two layouts in YAML and XML give the one rig, each
// kind of bad file is refused by name.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "shared/storage_document.h"
#include "tests/points_support.h"
#include "tests/storage_text.h"
#include "tests/test_support.h"

using namespace phaze_internal;

using Calibration = InScratchFolder;

static stored_matrix matrix(int rows, int cols, const double *values) {
    return matrix_of("", rows, cols, values);
}

static stored_matrix filled(int rows, int cols, double value, double diagonal) {
    stored_matrix m{"", rows, cols, std::vector<double>(rows * cols, value)};
    for (int k = 0; k < rows && k < cols; k++) m.values[k * cols + k] = diagonal;
    return m;
}

// The sample rig's entries under the single file's names, with their shapes.
static std::vector<stored_matrix> single_entries(const calibration &rig) {
    return {matrix_of("cam_K", 3, 3, rig.camera.K),
            matrix_of("cam_kc", 1, 5, rig.camera.distortion),
            matrix_of("proj_K", 3, 3, rig.projector.K),
            matrix_of("proj_kc", 5, 1, rig.projector.distortion),
            matrix_of("R", 3, 3, rig.R),
            matrix_of("T", 3, 1, rig.T)};
}

// The entries with one replaced, or left out where value has no rows.
static std::vector<stored_matrix> replaced(std::vector<stored_matrix> entries,
                                           const std::string &name, const stored_matrix &value) {
    for (size_t k = 0; k < entries.size(); k++)
        if (entries[k].name == name) {
            if (value.rows == 0)
                entries.erase(entries.begin() + k);
            else
                entries[k] = value, entries[k].name = name;
            break;
        }
    return entries;
}

// The pair as OpenCV's stereo calibration writes it: M1, D1, M2, D2 in one file;
// R, T and the rectification in the other.
static void write_pair(const calibration &rig, const char *extension, const std::string &intrinsics,
                       const std::string &extrinsics) {
    const double zero[12] = {};
    write_file(intrinsics, storage_text({matrix_of("M1", 3, 3, rig.camera.K),
                                         matrix_of("D1", 1, 5, rig.camera.distortion),
                                         matrix_of("M2", 3, 3, rig.projector.K),
                                         matrix_of("D2", 1, 5, rig.projector.distortion)},
                                        extension));
    write_file(extrinsics, storage_text({matrix_of("R", 3, 3, rig.R), matrix_of("T", 3, 1, rig.T),
                                         matrix_of("R1", 3, 3, rig.R), matrix_of("P1", 3, 4, zero),
                                         matrix_of("Q", 4, 3, zero)},
                                        extension));
}

// Both layouts in YAML and XML as OpenCV writes them give the rig to the bit;
// shapes and forms a file may give an entry in, and documents in forms other
// than OpenCV's writer's, give the same rig.
TEST_F(Calibration, EveryLayoutAndFormGivesTheSameRig) {
    const calibration rig = sample_rig();
    write_pair(rig, ".yml", "intrinsics.yml", "extrinsics.yml");
    write_pair(rig, ".xml", "intrinsics.xml", "extrinsics.xml");
    for (const std::vector<std::string> &pair :  // either order
         {std::vector<std::string>{"intrinsics.yml", "extrinsics.yml"},
          {"extrinsics.xml", "intrinsics.xml"}}) {
        calibration read;
        std::string reason;
        ASSERT_EQ(read_calibration(pair, &read, &reason), 0) << reason;
        EXPECT_EQ(memcmp(&read, &rig, sizeof rig), 0) << pair[0];
    }
    // The rotation vector of R: its axis times its angle.
    const double *R = rig.R;
    const double angle = acos((R[0] + R[4] + R[8] - 1) / 2);
    const double scale = angle / (2 * sin(angle));
    const double rotation_vector[3] = {scale * (R[7] - R[5]), scale * (R[2] - R[6]),
                                       scale * (R[3] - R[1])};
    const double eight[8] = {rig.camera.distortion[0], rig.camera.distortion[1],
                             rig.camera.distortion[2], rig.camera.distortion[3],
                             rig.camera.distortion[4]};
    char float_translation[200], xml_translation[200];
    snprintf(
        float_translation, sizeof float_translation,
        "T: !!opencv-matrix\n   rows: 3\n   cols: 1\n   dt: f\n   data: [ %.9g, %.9g, %.9g ]\n",
        (float)rig.T[0], (float)rig.T[1], (float)rig.T[2]);
    snprintf(xml_translation, sizeof xml_translation, "<T> %.17g\n %.17g\t%.17g </T>\n", rig.T[0],
             rig.T[1], rig.T[2]);
    const stored_matrix none;
    struct row {
        const char *what, *extension;
        std::string name;
        stored_matrix value;
        std::string text;                // the entry as text, where value has no rows
        std::string from = "", to = "";  // and the document's text so changed
    } rows[] = {
        {"the single file", ".yml", "", none, ""},
        {"the single file (XML)", ".xml", "", none, ""},
        {"T as 1x3", ".yml", "T", matrix(1, 3, rig.T), ""},
        {"R as a rotation vector", ".yml", "R", matrix(3, 1, rotation_vector), ""},
        {"K as nine values", ".xml", "cam_K", matrix(1, 9, rig.camera.K), ""},
        {"eight coefficients, the rational ones zero", ".yml", "cam_kc", matrix(8, 1, eight), ""},
        {"float samples", ".yml", "T", none, float_translation},
        {"a list of rows", ".yml", "proj_K", none,
         "proj_K: [ [ 1541.2, 0, 508.3 ], [ 0, 1539.8, 620.4 ], [ 0, 0, 1 ] ]\n"},
        {"a list of rows (XML)", ".xml", "proj_K", none,
         "<proj_K><_>1541.2 0 508.3</_><_>0 1539.8 620.4</_>\n<_>0 0 1</_></proj_K>"},
        {"a plain list across lines (XML)", ".xml", "T", none, xml_translation},
        {"YAML's own directive", ".yml", "", none, "", "%YAML:1.0\n", "%YAML 1.1\n"},
        {"no document marker, a byte-order mark", ".yml", "", none, "", "%YAML:1.0\n---\n",
         "\xEF\xBB\xBF%YAML:1.0\n"},
        {"comments", ".xml", "", none, "", "<cam_K", "<!-- the camera -->\n<cam_K"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string text =
            storage_text(replaced(single_entries(rig), r.name, r.value), r.extension);
        const size_t end =
            strcmp(r.extension, ".xml") == 0 ? text.rfind("</opencv_storage>") : text.size();
        text.insert(end, r.text);
        if (!r.from.empty()) text.replace(text.find(r.from), r.from.size(), r.to);
        write_file("rig.yml", text);
        calibration read;
        std::string reason;
        ASSERT_EQ(read_calibration({"rig.yml"}, &read, &reason), 0) << reason << "\n" << text;
        const double *a = &read.camera.K[0], *b = &rig.camera.K[0];
        const double tolerance = strstr(r.what, "float")      ? 1e-4
                                 : strstr(r.what, "rotation") ? 1e-12
                                                              : 0;
        for (size_t k = 0; k < sizeof(calibration) / sizeof(double); k++)
            EXPECT_NEAR(a[k], b[k], tolerance * (1 + fabs(b[k]))) << k;
    }
}

TEST_F(Calibration, EachBadFileIsRefusedByName) {
    const calibration rig = sample_rig();
    const std::vector<stored_matrix> good = single_entries(rig);
    const stored_matrix none;
    auto with = [&](const char *name, const stored_matrix &value) {
        return storage_text(replaced(good, name, value), ".yml");
    };
    auto with_xml = [&](const char *name, const stored_matrix &value) {
        return storage_text(replaced(good, name, value), ".xml");
    };
    stored_matrix nan_rotation = matrix(3, 3, rig.R), infinite_k = matrix(3, 3, rig.camera.K);
    nan_rotation.values[1 * 3 + 2] = NAN;
    infinite_k.values[0 * 3 + 2] = INFINITY;
    stored_matrix scaled_rotation = matrix(3, 3, rig.R);
    for (double &v : scaled_rotation.values) v *= 1.01;
    stored_matrix no_focal = matrix(3, 3, rig.projector.K);
    no_focal.values[0] = 0;
    const std::string nested = "T: " + std::string(MAX_STORAGE_DEPTH + 1, '[') +
                               std::string(MAX_STORAGE_DEPTH + 1, ']') + "\n";
    std::string nested_xml = "<T>";
    for (int k = 0; k < MAX_STORAGE_DEPTH; k++) nested_xml += "<a>";
    for (int k = 0; k < MAX_STORAGE_DEPTH; k++) nested_xml += "</a>";
    nested_xml += "</T>";
    std::string many = "T: [ 0", many_xml = "<T>0";
    for (int k = 0; k < MAX_STORAGE_NODES; k++) many += ", 0", many_xml += " 0";
    many += " ]\n", many_xml += "</T>";
    auto xml_with = [&](const std::string &entry) {
        std::string text = with_xml("T", none);
        return text.insert(text.rfind("</opencv_storage>"), entry);
    };
    stored_matrix square_d2 = filled(2, 2, 0, 0);
    square_d2.name = "D2";
    const double tilted[14] = {-0.1, 0.1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.01, 0};
    write_pair(rig, ".yml", "intrinsics.yml", "extrinsics.yml");
    struct row {
        const char *what;
        std::string text;  // rig.yml's
        const char *says;
        std::vector<std::string> paths = {};  // rig.yml where empty
    } rows[] = {
        {"a missing key", with("cam_kc", none), "rig.yml: no key cam_kc"},
        {"K of the wrong shape", with("cam_K", filled(3, 2, 0, 1)),
         "rig.yml: cam_K must be a 3x3 camera matrix, not 3x2"},
        {"three coefficients", with("proj_kc", filled(1, 3, 0, 0)),
         "proj_kc must hold 4, 5, 8, 12 or 14 distortion coefficients as 1xN or Nx1, not 1x3"},
        {"T of two", with("T", filled(2, 1, 1, 1)), "T must be a 3x1 or 1x3 translation, not 2x1"},
        {"R 2x3", with("R", filled(2, 3, 0, 1)), "R must be a 3x3 rotation matrix"},
        {"NaN in R", with("R", nan_rotation),
         "R holds a value that is not a finite number (row 2, column 3)"},
        {"infinity in K (XML)", with_xml("cam_K", infinite_k),
         "cam_K holds a value that is not a finite number"},
        {"R not a rotation", with("R", scaled_rotation), "R is not a rotation"},
        {"fx zero", with("proj_K", no_focal), "proj_K is not a camera matrix"},
        {"T zero", with("T", filled(3, 1, 0, 0)), "T is zero"},
        {"a tilted sensor", with("cam_kc", matrix(1, 14, tilted)), "tilted sensor"},
        {"not FileStorage", "cam_K: [1, 2, 3]\n", "rig.yml: is not an OpenCV FileStorage"},
        {"empty", "", "is not an OpenCV FileStorage YAML or XML file"},
        {"binary", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "rig.yml: is a binary file"},
        {"YAML that does not parse", "%YAML:1.0\ncam_K: [ 1, 2\n",
         "rig.yml: is not valid YAML: while parsing a flow sequence, did not find expected ',' or "
         "']' (line 3, column 1)"},
        {"XML that does not parse", "<?xml version=\"1.0\"?>\n<opencv_storage>\n<cam_K>",
         "rig.yml: is not valid XML: "},
        {"XML of another root", "<?xml version=\"1.0\"?>\n<storage><T>1 2 3</T></storage>\n",
         "rig.yml: is not an OpenCV FileStorage XML file: its root element is storage"},
        {"a key twice", with("R", none) + "R: [ 0, 0, 1 ]\nR: [ 0, 1, 0 ]\n",
         "rig.yml: has the key R more than once"},
        {"two YAML documents", with("T", none) + "---\nT: [ 1, 2, 3 ]\n",
         "rig.yml: holds more than one YAML document"},
        {"an alias, never expanded", with("T", none) + "T0: &t [ 1, 2, 3 ]\nT: *t\n",
         "rig.yml: T is not a matrix"},
        {"lists nested too deep", with("T", none) + nested,
         "rig.yml: nests lists or maps deeper than 16 levels"},
        {"elements nested too deep", xml_with(nested_xml),
         "rig.yml: nests elements deeper than 16 levels"},
        {"a list too long to be anything of a calibration", with("T", none) + many,
         "rig.yml: holds more than 65536 values, lists and maps"},
        {"a list too long (XML)", xml_with(many_xml),
         "rig.yml: holds more than 65536 values, lists and maps"},
        {"no map at the top", "%YAML:1.0\n- 1\n- 2\n", "holds no named entries"},
        {"text after ---, on which OpenCV's parser never returns", "%YAML:1.0\n---L:1\n--\n-\n",
         "rig.yml: holds no named entries"},
        {"an empty key, on which OpenCV's parser throws std::length_error", "%YAML:1.\n c:5\n :",
         "rig.yml: is not valid YAML: did not find expected <document start> (line 3, column 2)"},
        {"a document on which OpenCV's parser never returns",
         "%YAML:1.0: 1\n   cols:-5\n ix\n -[m1]\n", "rig.yml: holds no named entries"},
        {"a string for K", with("cam_K", none) + "cam_K: \"fx fy\"\n", "cam_K is not a matrix"},
        {"data that does not fill the matrix",
         with("T", none) +
             "T: !!opencv-matrix\n   rows: 3\n   cols: 1\n   dt: d\n   data: [ 1., 2. ]\n",
         "T is 3x1 but its data holds 2 values"},
        {"a matrix of any size",
         with("T", none) + "T: !!opencv-matrix\n   rows: 2000000000\n   cols: 2000000000\n"
                           "   dt: d\n   data: [ 1. ]\n",
         "no calibration entry is that large"},
        {"a matrix without data", with("T", none) + "T: { rows: 3, cols: 1 }\n",
         "T is not a matrix: an opencv-matrix has rows, cols, dt and data"},
        {"words in the data", with("T", none) + "T: [ 1, two, 3 ]\n",
         "T holds something that is not a number"},
        {"larger than 1 MiB", "%YAML:1.0\n" + std::string(1 << 20, '#'), "larger than 1 MiB"},
        {"a missing file", "", "missing.yml: No such file or directory", {"missing.yml"}},
        {"a folder", "", "folder: is a folder", {"folder"}},
        {"the pair's intrinsics alone", "", "this is the intrinsics file", {"intrinsics.yml"}},
        {"a pair without M1",
         with("T", matrix(3, 1, rig.T)),
         "rig.yml: no key M1",
         {"rig.yml", "extrinsics.yml"}},
        {"a pair without T", with("T", none), "rig.yml: no key T", {"intrinsics.yml", "rig.yml"}},
        {"three files", "", "one file, or OpenCV's stereo pair", {"rig.yml", "rig.yml", "rig.yml"}},
        {"a pair's file named in its messages",
         storage_text(
             {matrix_of("M1", 3, 3, rig.camera.K), matrix_of("D1", 1, 5, rig.camera.distortion),
              matrix_of("M2", 3, 3, rig.projector.K), square_d2},
             ".xml"),
         "rig.yml: D2 must hold",
         {"rig.yml", "extrinsics.yml"}},
    };
    mkdir("folder", 0777);
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        write_file("rig.yml", r.text);
        calibration read;
        std::string reason;
        const std::vector<std::string> paths =
            r.paths.empty() ? std::vector<std::string>{"rig.yml"} : r.paths;
        EXPECT_EQ(read_calibration(paths, &read, &reason), 1);
        EXPECT_NE(reason.find(r.says), std::string::npos) << reason;
    }
}
