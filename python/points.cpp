// Calibrations, triangulation, point files and rendered scenes for Python:
// numpy arrays in and out, every check of the arguments here or in the code
// the command shares; python/phaze/__init__.py only turns what the user gives
// into float64 arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "shared/calibration.h"
#include "shared/point_files.h"
#include "shared/scene.h"
#include "shared/scene_frames.h"
#include "shared/triangulation.h"

namespace nb = nanobind;
using namespace phaze_internal;

using any_f64 = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using plane_f64 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using plane_u8 = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using any_u8 = nb::ndarray<const uint8_t, nb::c_contig, nb::device::cpu>;

template <typename T>
static nb::ndarray<nb::numpy, T> new_array(std::vector<size_t> shape) {
    size_t size = 1;
    for (size_t s : shape) size *= s;
    T *data = new T[size];
    nb::capsule owner(data, [](void *p) noexcept { delete[](T *) p; });
    return nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner);
}

template <typename T>
static nb::ndarray<nb::numpy, T> array_of(std::vector<size_t> shape, const T *values) {
    auto a = new_array<T>(shape);
    memcpy(a.data(), values, a.size() * sizeof(T));
    return a;
}

// The rig from the single file's six names, in calibration_entry order.
static calibration calibration_of(const std::vector<any_f64> &entries) {
    if (entries.size() != CALIBRATION_ENTRIES)
        throw nb::value_error("a calibration has six entries");
    calibration rig;
    for (int e = 0; e < CALIBRATION_ENTRIES; e++) {
        const any_f64 &a = entries[e];
        const char *name = calibration_entry_names[e];
        if (a.ndim() > 2)
            throw nb::value_error((std::string(name) + " must be a matrix, not an array of " +
                                   std::to_string(a.ndim()) + " dimensions")
                                      .c_str());
        const int rows = a.ndim() == 0 ? 1 : (int)a.shape(0);
        const int cols = a.ndim() == 2 ? (int)a.shape(1) : 1;
        if (a.shape(0) > 64 || (a.ndim() == 2 && a.shape(1) > 64))
            throw nb::value_error(
                (std::string(name) + " is too large for a calibration entry").c_str());
        std::string reason;
        if (set_calibration_entry((calibration_entry)e, name, rows, cols, a.data(), &rig,
                                  &reason) != 0)
            throw nb::value_error(reason.c_str());
    }
    return rig;
}

// As many distortion coefficients as the model needs: 5, 8 or 12.
static size_t distortion_count(const lens &l) {
    for (size_t n : {5, 8})
        if (std::all_of(l.distortion + n, l.distortion + DISTORTION_TERMS,
                        [](double c) { return c == 0; }))
            return n;
    return DISTORTION_TERMS;
}

static nb::dict bound_read_calibration(const std::vector<std::string> &paths) {
    calibration rig;
    std::string reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = read_calibration(paths, &rig, &reason);
    }
    if (failed) throw nb::value_error(reason.c_str());
    nb::dict d;
    d["cam_K"] = array_of<double>({3, 3}, rig.camera.K);
    d["cam_kc"] = array_of<double>({distortion_count(rig.camera)}, rig.camera.distortion);
    d["proj_K"] = array_of<double>({3, 3}, rig.projector.K);
    d["proj_kc"] = array_of<double>({distortion_count(rig.projector)}, rig.projector.distortion);
    d["R"] = array_of<double>({3, 3}, rig.R);
    d["T"] = array_of<double>({3}, rig.T);
    return d;
}

static void check_plane(const char *name, size_t rows, size_t columns, size_t want_rows,
                        size_t want_columns) {
    if (rows != want_rows || columns != want_columns)
        throw nb::value_error((std::string(name) + " must have the column's shape (" +
                               std::to_string(want_rows) + ", " + std::to_string(want_columns) +
                               "), not (" + std::to_string(rows) + ", " + std::to_string(columns) +
                               ")")
                                  .c_str());
}

static nb::ndarray<nb::numpy, double> bound_triangulate(const std::vector<any_f64> &entries,
                                                        plane_f64 column,
                                                        std::optional<plane_f64> row,
                                                        std::optional<plane_u8> mask) {
    const calibration rig = calibration_of(entries);
    const size_t rows = column.shape(0), columns = column.shape(1);
    if (rows == 0 || columns == 0) throw nb::value_error("the column has no pixels");
    if (rows > 0x7fffffff || columns > 0x7fffffff)
        throw nb::value_error("a column of more than 2^31 rows or columns");
    if (row) check_plane("row", row->shape(0), row->shape(1), rows, columns);
    if (mask) check_plane("mask", mask->shape(0), mask->shape(1), rows, columns);
    auto xyz = new_array<double>({rows, columns, 3});
    {
        nb::gil_scoped_release unlocked;
        triangulate(rig, (int)columns, (int)rows, column.data(), row ? row->data() : nullptr,
                    mask ? mask->data() : nullptr, xyz.data());
    }
    return xyz;
}

// The points as the writers take them: (H, W, 3), or (N, 3) as one row.
static point_image points_of(const any_f64 &points, const std::optional<any_u8> &gray) {
    if (!((points.ndim() == 3 || points.ndim() == 2) && points.shape(points.ndim() - 1) == 3))
        throw nb::value_error("points must be an (H, W, 3) or (N, 3) array");
    point_image image;
    const size_t rows = points.ndim() == 3 ? points.shape(0) : 1;
    const size_t columns = points.ndim() == 3 ? points.shape(1) : points.shape(0);
    if (rows > 0x7fffffff || columns > 0x7fffffff)
        throw nb::value_error("points of more than 2^31 rows or columns");
    image.width = (int)columns, image.height = (int)rows, image.xyz = points.data();
    if (gray) {
        bool same = gray->ndim() == points.ndim() - 1;
        for (size_t k = 0; same && k < gray->ndim(); k++) same = gray->shape(k) == points.shape(k);
        if (!same) throw nb::value_error("gray must have the points' shape without its last axis");
        image.gray = gray->data();
    }
    return image;
}

static long long bound_write_ply(const std::string &path, any_f64 points,
                                 std::optional<any_u8> gray) {
    const point_image image = points_of(points, gray);
    long long count = 0;
    std::string reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = write_ply_file(path, image, &count, &reason);
    }
    if (failed) throw nb::value_error((path + ": can't write it: " + reason).c_str());
    return count;
}

static std::vector<std::string> bound_write_points(const std::string &prefix, any_f64 points,
                                                   std::optional<any_u8> gray,
                                                   const std::vector<std::string> &formats) {
    if (points.ndim() != 3) throw nb::value_error("points must be an (H, W, 3) array");
    const point_image image = points_of(points, gray);
    unsigned wanted = 0;
    for (const std::string &f : formats) {
        if (f == "ply")
            wanted |= POINTS_PLY;
        else if (f == "depth")
            wanted |= POINTS_DEPTH;
        else if (f == "xyz")
            wanted |= POINTS_XYZ;
        else
            throw nb::value_error(("unknown format '" + f + "': ply, depth, xyz").c_str());
    }
    std::vector<std::string> written;
    std::string file, reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = write_point_files(prefix, wanted, image, &written, &file, &reason);
    }
    if (failed) throw nb::value_error((file + ": can't write it: " + reason).c_str());
    return written;
}

// (points, column, row, frames): frames (periods, steps, H, W) of the fringes asked for.
static nb::tuple bound_render_scene(const std::vector<any_f64> &entries, const std::string &shape,
                                    int width, int height, int projector_width,
                                    int projector_height, double distance,
                                    const std::vector<double> &periods,
                                    const std::vector<double> &steps, bool horizontal, double gamma,
                                    double noise, double background, double contrast, int bits,
                                    unsigned seed) {
    const calibration rig = calibration_of(entries);
    scene_options options;
    if (!scene_shape_of(shape, &options.shape))
        throw nb::value_error("scene is 'plane', 'sphere' or 'step'");
    options.width = width, options.height = height;
    options.projector_width = projector_width, options.projector_height = projector_height;
    options.distance = distance;
    if ((long long)width * height > (1 << 26))
        throw nb::value_error("a camera image of more than 2^26 pixels");
    for (double p : periods)
        if (!(p > 0 && isfinite(p))) throw nb::value_error("periods must be finite and above 0");
    for (double s : steps)
        if (!isfinite(s)) throw nb::value_error("steps must be finite");
    if (!(gamma > 0 && isfinite(gamma)) || !(noise >= 0 && isfinite(noise)))
        throw nb::value_error("gamma must be above 0, noise 0 or more");
    if (bits != 8 && bits != 16) throw nb::value_error("bits is 8 or 16");
    fringe_light light;
    light.background = background, light.contrast = contrast, light.gamma = gamma;
    light.noise = noise, light.bits = bits, light.seed = seed;
    scene_view view;
    std::string reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = render_scene(rig, options, &view, &reason);
    }
    if (failed) throw nb::value_error(reason.c_str());
    const size_t rows = view.height, columns = view.width, pixels = rows * columns;
    auto frames = new_array<uint16_t>({periods.size(), steps.size(), rows, columns});
    {
        nb::gil_scoped_release unlocked;
        unsigned frame = 0;
        for (size_t j = 0; j < periods.size(); j++)
            for (size_t k = 0; k < steps.size(); k++, frame++)
                render_fringe_frame(view, horizontal, periods[j], steps[k], light, frame,
                                    frames.data() + pixels * frame);
    }
    return nb::make_tuple(array_of<double>({rows, columns, 3}, view.xyz.data()),
                          array_of<double>({rows, columns}, view.column.data()),
                          array_of<double>({rows, columns}, view.row.data()), frames,
                          view.distance);
}

void bind_points(nb::module_ &m) {
    m.def("read_calibration", &bound_read_calibration, nb::arg("paths"),
          "A calibration file, or OpenCV's stereo pair; a dict of float64 arrays.");
    m.def("triangulate", &bound_triangulate, nb::arg("entries"), nb::arg("column"),
          nb::arg("row").none(), nb::arg("mask").none(),
          "(H, W, 3) points of a column map (and row map), NaN where none.");
    m.def("write_ply", &bound_write_ply, nb::arg("path"), nb::arg("points"), nb::arg("gray").none(),
          "A binary PLY of the finite points; their number.");
    m.def("write_points", &bound_write_points, nb::arg("prefix"), nb::arg("points"),
          nb::arg("gray").none(), nb::arg("formats"),
          "PREFIX_points.ply, _depth.tiff, _xyz.tiff, all or none; the names written.");
    m.def("render_scene", &bound_render_scene, nb::arg("entries"), nb::arg("scene"),
          nb::arg("width"), nb::arg("height"), nb::arg("projector_width"),
          nb::arg("projector_height"), nb::arg("distance"), nb::arg("periods"), nb::arg("steps"),
          nb::arg("horizontal"), nb::arg("gamma"), nb::arg("noise"), nb::arg("background"),
          nb::arg("contrast"), nb::arg("bits"), nb::arg("seed"),
          "A known scene through a calibrated rig: (points, column, row, frames, distance).");
}
