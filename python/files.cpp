// The phaze command's readers and writers for Python: frames read with the
// command's checks and messages, results written with its names, contents and
// all-or-none renaming. They are linked into the module only; phaze.h and the
// shared library know nothing of files.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <math.h>
#include <string.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "shared/result_names.h"
#include "shared/run_options.h"
#include "shared/set_reading.h"
#include "shared/set_results.h"
#include "phaze/phaze.h"

namespace nb = nanobind;

static colour_channel channel_of(const std::string &channel) {
    if (channel == "luma") return CHANNEL_LUMA;
    if (channel == "r") return CHANNEL_RED;
    if (channel == "g") return CHANNEL_GREEN;
    if (channel == "b") return CHANNEL_BLUE;
    throw nb::value_error("channel is 'luma', 'r', 'g' or 'b'");
}

// Text in the file system's encoding as Python shows it (os.fsdecode): a file
// name need not be UTF-8.
static nb::object fs_text(const std::string &text) {
    PyObject *decoded = PyUnicode_DecodeFSDefaultAndSize(text.data(), (Py_ssize_t)text.size());
    if (decoded == NULL) throw nb::python_error();
    return nb::steal(decoded);
}

[[noreturn]] static void raise_value_error(const std::string &text) {
    PyErr_SetObject(PyExc_ValueError, fs_text(text).ptr());
    throw nb::python_error();
}

// A set that cannot be done says so as the command does: "phaze: FILE: reason".
[[noreturn]] static void refuse(const std::string &file, const std::string &reason) {
    raise_value_error("phaze: " + file + ": " + reason);
}

// A path as the file system takes it (os.fsencode's bytes). The C library
// would end it at a NUL and open another file.
static std::string path_of(const nb::bytes &path) {
    const std::string bytes(path.c_str(), path.size());
    if (bytes.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
    return bytes;
}

static std::vector<std::string> paths_of(const std::vector<nb::bytes> &paths) {
    std::vector<std::string> all;
    for (const nb::bytes &p : paths) all.push_back(path_of(p));
    return all;
}

// Refuses results for prefix that would replace one of the frames, as the
// command does, before anything is read or written.
static void keep_frames(const run_options &o, const std::string &prefix,
                        const std::vector<std::string> &frames) {
    const std::string replacing = result_replacing_frame(o, {prefix}, frames);
    if (!replacing.empty()) raise_value_error("phaze: " + replacing);
}

static run_options formats_of(const std::vector<std::string> &formats, bool unwrap) {
    run_options o;
    o.tiff = o.png = o.json = o.npy = o.txt = false;
    for (const std::string &f : formats) {
        if (f == "tiff")
            o.tiff = true;
        else if (f == "png")
            o.png = true;
        else if (f == "json")
            o.json = true;
        else if (f == "npy")
            o.npy = true;
        else if (f == "txt")
            o.txt = true;
        else
            throw nb::value_error(
                ("unknown format '" + f + "': tiff, png, json, npy, txt").c_str());
    }
    o.unwrap = unwrap;
    return o;
}

// (stack, sample type as read, reading warnings, min_modulation, saturation):
// the thresholds as the command derives them (a PGM's maxval, colour read as
// luma), below 0 for the library's defaults.
static nb::tuple read_frames(const std::vector<nb::bytes> &names, const std::string &channel,
                             double min_modulation, double saturation) {
    const std::vector<std::string> paths = paths_of(names);
    if (paths.size() < PHAZE_MIN_FRAMES || paths.size() > PHAZE_MAX_FRAMES)
        throw nb::value_error(
            ("phaze takes 3 to 32 frames of one scene, not " + std::to_string(paths.size()))
                .c_str());
    run_options o;
    o.channel = channel_of(channel);
    o.min_modulation = min_modulation, o.saturation = saturation;
    frame_set set;
    std::string file, reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        try {
            failed = load_frame_set(o, paths, &set, &file, &reason);
        } catch (const std::bad_alloc &) {
            failed = 1, file = paths[0], reason = "not enough memory for this set";
        }
    }
    if (failed) refuse(file, reason);
    const size_t n = paths.size(), rows = set.view.height, columns = set.view.width;
    const size_t bytes = set.view.type == PHAZE_UINT8 ? 1 : set.view.type == PHAZE_UINT16 ? 2 : 4;
    unsigned char *data = new unsigned char[n * rows * columns * bytes];
    nb::capsule owner(data, [](void *p) noexcept { delete[](unsigned char *) p; });
    for (size_t k = 0; k < n; k++)
        memcpy(data + k * rows * columns * bytes, set.frames[k].data.data(),
               rows * columns * bytes);
    const size_t shape[3] = {n, rows, columns};
    const nb::dlpack::dtype dtype = set.view.type == PHAZE_UINT8    ? nb::dtype<uint8_t>()
                                    : set.view.type == PHAZE_UINT16 ? nb::dtype<uint16_t>()
                                                                    : nb::dtype<float>();
    nb::ndarray<nb::numpy> stack(data, 3, shape, owner, nullptr, dtype);
    nb::list warnings;
    for (const std::string &w : set.warnings) warnings.append(w);
    return nb::make_tuple(stack, set.sample_type, warnings, set.options.min_modulation,
                          set.options.saturation);
}

// ---- the report of a Result, as the user may have changed it ----

static std::string python_type_name(nb::handle value) {
    return nb::type_name(value.type()).c_str();
}

static nb::handle field(const nb::dict &d, const char *name) {
    if (!d.contains(name))
        throw nb::value_error(("the report has no '" + std::string(name) + "'").c_str());
    return d[name];
}

[[noreturn]] static void wrong_type(const char *name, const char *wanted, nb::handle value) {
    throw nb::type_error(("the report's '" + std::string(name) + "' must be " + wanted + ", not " +
                          python_type_name(value))
                             .c_str());
}

// A number, or None (JSON's null) for if_none.
static double number_in(nb::handle value, const char *name, double if_none) {
    if (value.is_none()) return if_none;
    double number = 0;
    if (nb::isinstance<nb::str>(value) || !nb::try_cast<double>(value, number))
        wrong_type(name, "a number or None", value);
    return number;
}

static double number_field(const nb::dict &d, const char *name, double if_none) {
    return number_in(field(d, name), name, if_none);
}

static std::string text_field(const nb::dict &d, const char *name) {
    const nb::handle value = field(d, name);
    if (!nb::isinstance<nb::str>(value)) wrong_type(name, "a str", value);
    return nb::cast<std::string>(value);
}

// The items of a list, a tuple or an array.
static std::vector<nb::handle> items_field(const nb::dict &d, const char *name,
                                           std::vector<nb::object> *keep) {
    const nb::handle value = field(d, name);
    if (nb::isinstance<nb::str>(value) || nb::isinstance<nb::bytes>(value) ||
        !PySequence_Check(value.ptr()))
        wrong_type(name, "a list", value);
    std::vector<nb::handle> items;
    for (nb::handle item : value) keep->push_back(nb::borrow(item)), items.push_back(item);
    return items;
}

// The library's report again, from the dict that Result.report holds.
static phaze_report report_of(const nb::dict &d, std::vector<std::string> *reading_warnings) {
    phaze_report r;
    memset(&r, 0, sizeof r);
    std::vector<nb::object> keep;
    const std::vector<nb::handle> steps = items_field(d, "steps", &keep);
    if (steps.size() > PHAZE_MAX_FRAMES) throw nb::value_error("a report of too many steps");
    r.frame_count = (int)steps.size();
    for (int k = 0; k < r.frame_count; k++) r.steps[k] = number_in(steps[k], "steps", NAN);
    r.phase_offset = number_field(d, "phase_offset", NAN);
    r.background = number_field(d, "background", NAN);
    r.modulation = number_field(d, "modulation", NAN);
    r.masked_fraction = number_field(d, "masked_fraction", NAN);
    r.residual_rms = number_field(d, "residual_rms", NAN);
    r.min_modulation = number_field(d, "min_modulation", NAN);
    r.saturation = number_field(d, "saturation", INFINITY);
    r.seconds = number_field(d, "seconds", NAN);
    const std::string device = text_field(d, "device");
    if (device != "cpu" && device != "cuda")
        throw nb::value_error(
            ("the report's 'device' is 'cpu' or 'cuda', not '" + device + "'").c_str());
    r.device = device == "cuda" ? PHAZE_DEVICE_CUDA : PHAZE_DEVICE_CPU;
    for (nb::handle w : items_field(d, "warnings", &keep)) {
        if (!nb::isinstance<nb::str>(w)) wrong_type("warnings", "a list of str", w);
        const std::string sentence = nb::cast<std::string>(w);
        unsigned bit = 1;
        while (bit != 0 && sentence != phaze_warning_text(bit)) bit <<= 1;
        if (bit != 0)
            r.warnings |= bit;
        else
            reading_warnings->push_back(sentence);
    }
    if (d.contains("measured_steps")) {
        const std::vector<nb::handle> measured = items_field(d, "measured_steps", &keep);
        if ((int)measured.size() != r.frame_count)
            throw nb::value_error("the report's 'measured_steps' must hold one step a frame");
        r.steps_given = 1;
        for (int k = 0; k < r.frame_count; k++)
            r.measured_steps[k] = number_in(measured[k], "measured_steps", NAN);
    }
    if (d.contains("harmonics")) {
        const nb::handle h = d["harmonics"];
        if (!nb::isinstance<nb::dict>(h)) wrong_type("harmonics", "a dict", h);
        const nb::dict ripple = nb::borrow<nb::dict>(h);
        const nb::handle removed = field(ripple, "removed");
        if (!nb::isinstance<nb::bool_>(removed)) wrong_type("removed", "a bool", removed);
        r.ripple_removed = nb::cast<bool>(removed);
        r.ripple_rms = number_field(ripple, "ripple_rms", 0);
        r.ripple_evidence = number_field(ripple, "evidence", 0);
        const double terms = number_field(ripple, "terms", 0);
        if (terms != floor(terms) || terms < 0 || terms > 1e6)
            throw nb::value_error("the report's 'terms' must be a whole number of 0 or more");
        r.ripple_terms = (int)terms;
        if (ripple.contains("outcome")) {
            const std::string said = text_field(ripple, "outcome");
            int outcome = 0;
            while (*phaze_ripple_outcome_text(outcome) != '\0' &&
                   said != phaze_ripple_outcome_text(outcome))
                outcome++;
            if (*phaze_ripple_outcome_text(outcome) == '\0')
                throw nb::value_error(("the report's harmonics 'outcome' is not one phaze gives: '" +
                                       said + "'")
                                          .c_str());
            r.ripple_outcome = outcome;
        }
    }
    return r;
}

static const char *sample_type_of(const nb::dict &d) {
    const std::string name = text_field(d, "sample_type");
    for (int type : {PHAZE_UINT8, PHAZE_UINT16, PHAZE_FLOAT32, PHAZE_FLOAT64})
        if (name == phaze_sample_type_name(type)) return phaze_sample_type_name(type);
    throw nb::value_error(
        ("the report's 'sample_type' is uint8, uint16, float32 or float64, not '" + name + "'")
            .c_str());
}

using plane_f64 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using plane_f32 = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using plane_u8 = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Writes a result's files for prefix as the command names and fills them;
// returns the names written. unwrapped may be None; inputs: the frames, for
// the report.
static nb::list write_results(plane_f64 phase, plane_f32 modulation, plane_u8 mask,
                              std::optional<plane_f64> unwrapped, int regions,
                              const nb::dict &report, const nb::bytes &prefix_path,
                              const std::vector<std::string> &formats,
                              const std::vector<nb::bytes> &inputs) {
    const std::string prefix = path_of(prefix_path);
    const std::vector<std::string> paths = paths_of(inputs);
    const size_t rows = phase.shape(0), columns = phase.shape(1), pixels = rows * columns;
    if (rows == 0 || columns == 0) throw nb::value_error("the result has no pixels");
    for (size_t s : {modulation.shape(0), mask.shape(0)})
        if (s != rows) throw nb::value_error("the result's arrays must have one shape");
    if (modulation.shape(1) != columns || mask.shape(1) != columns ||
        (unwrapped && (unwrapped->shape(0) != rows || unwrapped->shape(1) != columns)))
        throw nb::value_error("the result's arrays must have one shape");
    run_options o = formats_of(formats, unwrapped.has_value());
    if (report.contains("periods")) {
        std::vector<nb::object> keep;
        for (nb::handle t : items_field(report, "periods", &keep))
            o.periods.push_back(number_in(t, "periods", NAN));
    }
    frame_set set;
    set.view.width = (int)columns, set.view.height = (int)rows;
    set.sample_type = sample_type_of(report);
    set_outputs out;
    out.report = report_of(report, &set.warnings);
    keep_frames(o, prefix, paths);
    out.pixels = pixels;
    out.phase.resize(pixels);
    out.modulation.resize(pixels);
    out.mask.resize(pixels);
    memcpy(out.phase.data(), phase.data(), pixels * sizeof(double));
    memcpy(out.modulation.data(), modulation.data(), pixels * sizeof(float));
    memcpy(out.mask.data(), mask.data(), pixels);
    if (unwrapped) {
        out.unwrapped.resize(pixels);
        memcpy(out.unwrapped.data(), unwrapped->data(), pixels * sizeof(double));
    }
    out.regions = regions;
    std::vector<std::string> written;
    std::string file, reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = write_set_results(o, prefix, paths, set, out, &written, &file, &reason);
    }
    if (failed) refuse(file, "can't write it: " + reason);
    nb::list names;
    for (const std::string &name : written) names.append(fs_text(name));
    return names;
}

static void check_result_names(const nb::bytes &prefix, const std::vector<std::string> &formats,
                               bool unwrap, const std::vector<nb::bytes> &frames) {
    keep_frames(formats_of(formats, unwrap), path_of(prefix), paths_of(frames));
}

void bind_files(nb::module_ &m) {
    m.def("read_frames", &read_frames, nb::arg("paths"), nb::arg("channel"),
          nb::arg("min_modulation"), nb::arg("saturation"),
          "Frames through the command's readers; (stack, sample_type, warnings, "
          "min_modulation, saturation).");
    m.def("write_results", &write_results, nb::arg("phase"), nb::arg("modulation"), nb::arg("mask"),
          nb::arg("unwrapped").none(), nb::arg("regions"), nb::arg("report"), nb::arg("prefix"),
          nb::arg("formats"), nb::arg("inputs"),
          "A result's files as the command writes them; the names written.");
    m.def("check_result_names", &check_result_names, nb::arg("prefix"), nb::arg("formats"),
          nb::arg("unwrap"), nb::arg("frames"),
          "ValueError where a result for prefix would replace one of the frames.");
}
