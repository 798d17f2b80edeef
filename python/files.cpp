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

#include "command/arguments.h"
#include "command/frame_set.h"
#include "command/set_results.h"
#include "phaze/phaze.h"

namespace nb = nanobind;

static colour_channel channel_of(const std::string &channel) {
    if (channel == "luma") return CHANNEL_LUMA;
    if (channel == "r") return CHANNEL_RED;
    if (channel == "g") return CHANNEL_GREEN;
    if (channel == "b") return CHANNEL_BLUE;
    throw nb::value_error("channel is 'luma', 'r', 'g' or 'b'");
}

// A set that cannot be done says so as the command does: "phaze: FILE: reason".
[[noreturn]] static void refuse(const std::string &file, const std::string &reason) {
    throw nb::value_error(("phaze: " + file + ": " + reason).c_str());
}

// (stack, sample type as read, reading warnings, min_modulation, saturation):
// the thresholds as the command derives them (a PGM's maxval, colour read as
// luma), below 0 for the library's defaults.
static nb::tuple read_frames(const std::vector<std::string> &paths, const std::string &channel,
                             double min_modulation, double saturation) {
    if (paths.size() < PHAZE_MIN_FRAMES || paths.size() > PHAZE_MAX_FRAMES)
        throw nb::value_error(
            ("phaze takes 3 to 32 frames of one scene, not " + std::to_string(paths.size()))
                .c_str());
    command_options o;
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

static double number_or(nb::handle value, double otherwise) {
    return value.is_none() ? otherwise : nb::cast<double>(value);
}

// The library's report again, from the dict that Result.report holds.
static phaze_report report_of(const nb::dict &d, std::vector<std::string> *reading_warnings) {
    phaze_report r;
    memset(&r, 0, sizeof r);
    const nb::list steps = nb::cast<nb::list>(d["steps"]);
    r.frame_count = (int)nb::len(steps);
    if (r.frame_count > PHAZE_MAX_FRAMES) throw nb::value_error("a report of too many steps");
    for (int k = 0; k < r.frame_count; k++) r.steps[k] = number_or(steps[k], NAN);
    r.phase_offset = number_or(d["phase_offset"], NAN);
    r.background = number_or(d["background"], NAN);
    r.modulation = number_or(d["modulation"], NAN);
    r.masked_fraction = number_or(d["masked_fraction"], NAN);
    r.residual_rms = number_or(d["residual_rms"], NAN);
    r.min_modulation = number_or(d["min_modulation"], NAN);
    r.saturation = number_or(d["saturation"], INFINITY);
    r.seconds = number_or(d["seconds"], NAN);
    r.device = nb::cast<std::string>(d["device"]) == "cuda" ? PHAZE_DEVICE_CUDA : PHAZE_DEVICE_CPU;
    for (nb::handle w : nb::cast<nb::list>(d["warnings"])) {
        const std::string sentence = nb::cast<std::string>(w);
        unsigned bit = 1;
        while (bit != 0 && sentence != phaze_warning_text(bit)) bit <<= 1;
        if (bit != 0)
            r.warnings |= bit;
        else
            reading_warnings->push_back(sentence);
    }
    if (d.contains("harmonics")) {
        const nb::dict h = nb::cast<nb::dict>(d["harmonics"]);
        r.ripple_removed = nb::cast<bool>(h["removed"]);
        r.ripple_rms = number_or(h["ripple_rms"], 0);
        r.ripple_evidence = number_or(h["evidence"], 0);
        r.ripple_terms = nb::cast<int>(h["terms"]);
    }
    return r;
}

using plane_f64 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using plane_f32 = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using plane_u8 = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// Writes a result's files for prefix as the command names and fills them;
// returns the names written. unwrapped may be None.
static std::vector<std::string> write_results(plane_f64 phase, plane_f32 modulation, plane_u8 mask,
                                              std::optional<plane_f64> unwrapped, int regions,
                                              const nb::dict &report, const std::string &prefix,
                                              const std::vector<std::string> &formats) {
    const size_t rows = phase.shape(0), columns = phase.shape(1), pixels = rows * columns;
    if (rows == 0 || columns == 0) throw nb::value_error("the result has no pixels");
    for (size_t s : {modulation.shape(0), mask.shape(0)})
        if (s != rows) throw nb::value_error("the result's arrays must have one shape");
    if (modulation.shape(1) != columns || mask.shape(1) != columns ||
        (unwrapped && (unwrapped->shape(0) != rows || unwrapped->shape(1) != columns)))
        throw nb::value_error("the result's arrays must have one shape");
    command_options o;
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
    if (report.contains("periods")) o.periods = nb::cast<std::vector<double>>(report["periods"]);
    o.unwrap = unwrapped.has_value();
    frame_set set;
    set.view.width = (int)columns, set.view.height = (int)rows;
    const std::string sample_type = nb::cast<std::string>(report["sample_type"]);
    set.sample_type = phaze_sample_type_name(sample_type == "uint8"     ? PHAZE_UINT8
                                             : sample_type == "uint16"  ? PHAZE_UINT16
                                             : sample_type == "float64" ? PHAZE_FLOAT64
                                                                        : PHAZE_FLOAT32);
    set_outputs out;
    out.report = report_of(report, &set.warnings);
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
    std::vector<std::string> paths = nb::cast<std::vector<std::string>>(report["inputs"]);
    std::vector<std::string> written;
    std::string file, reason;
    int failed;
    {
        nb::gil_scoped_release unlocked;
        failed = write_set_results(o, prefix, paths, set, out, &written, &file, &reason);
    }
    if (failed) refuse(file, "can't write it: " + reason);
    return written;
}

void bind_files(nb::module_ &m) {
    m.def("read_frames", &read_frames, nb::arg("paths"), nb::arg("channel"),
          nb::arg("min_modulation"), nb::arg("saturation"),
          "Frames through the command's readers; (stack, sample_type, warnings, "
          "min_modulation, saturation).");
    m.def("write_results", &write_results, nb::arg("phase"), nb::arg("modulation"), nb::arg("mask"),
          nb::arg("unwrapped").none(), nb::arg("regions"), nb::arg("report"), nb::arg("prefix"),
          nb::arg("formats"), "A result's files as the command writes them; the names written.");
}
