// The Python binding of libphaze: 3 to 32 2-D numpy frames in (rows may be
// strided; each row's samples contiguous), the library's outputs as numpy
// arrays out. Every check of the arguments is here; python/phaze/__init__.py
// only turns what the user gives into a list of arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <math.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "shared/report_sentences.h"

#include "phaze/phaze.h"
#include "shared/large_memory.h"

namespace nb = nanobind;

using frame = nb::ndarray<nb::ro, nb::device::cpu>;

static int sample_type_of(const frame &f) {
    if (f.dtype() == nb::dtype<uint8_t>()) return PHAZE_UINT8;
    if (f.dtype() == nb::dtype<uint16_t>()) return PHAZE_UINT16;
    if (f.dtype() == nb::dtype<float>()) return PHAZE_FLOAT32;
    if (f.dtype() == nb::dtype<double>()) return PHAZE_FLOAT64;
    return -1;
}

// An array the caller owns, in huge pages where it is large (filling fresh 4 KiB
// pages costs a large phase map a fifth of its time); its size lies in the
// cache line before it, for the capsule that frees it.
static const size_t ARRAY_HEADER = 64;

static void free_owned(void *data) noexcept {
    unsigned char *start = (unsigned char *)data - ARRAY_HEADER;
    free_large(start, *(size_t *)start);
}

template <typename T>
static nb::ndarray<nb::numpy, T> owned_array(std::vector<size_t> shape) {
    size_t size = 1;
    for (size_t s : shape) size *= s;
    if (size > (SIZE_MAX - ARRAY_HEADER) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = ARRAY_HEADER + size * sizeof(T);
    unsigned char *start = (unsigned char *)allocate_large(bytes);
    *(size_t *)start = bytes;
    T *data = (T *)(start + ARRAY_HEADER);
    nb::capsule owner(data, free_owned);
    return nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner);
}

static nb::dict report_dict(const phaze_report &r, const std::vector<double> &periods, int type,
                            size_t rows, size_t columns) {
    nb::dict d;
    auto steps = owned_array<double>({(size_t)r.frame_count});
    for (int k = 0; k < r.frame_count; k++) steps.data()[k] = r.steps[k];
    d["steps"] = steps;
    d["phase_offset"] = r.phase_offset;
    d["background"] = r.background;
    d["modulation"] = r.modulation;
    d["masked_fraction"] = r.masked_fraction;
    d["residual_rms"] = r.residual_rms;
    nb::list warnings;
    for (const std::string &w : phaze_internal::report_sentences(r, periods)) warnings.append(w);
    d["warnings"] = warnings;
    if (r.steps_given) {
        auto measured = owned_array<double>({(size_t)r.frame_count});
        for (int k = 0; k < r.frame_count; k++) measured.data()[k] = r.measured_steps[k];
        d["measured_steps"] = measured;
    }
    d["width"] = columns;
    d["height"] = rows;
    d["sample_type"] = phaze_sample_type_name(type);
    d["min_modulation"] = r.min_modulation;
    d["saturation"] = isfinite(r.saturation) ? nb::cast(r.saturation) : nb::none();
    d["device"] = phaze_device_name(r.device);
    d["seconds"] = r.seconds;
    nb::dict ripple;
    ripple["removed"] = r.ripple_removed != 0;
    ripple["ripple_rms"] = r.ripple_rms;
    ripple["evidence"] = r.ripple_evidence;
    ripple["terms"] = r.ripple_terms;
    ripple["outcome"] = phaze_ripple_outcome_text(r.ripple_outcome);
    d["harmonics"] = ripple;
    return d;
}

// A threshold: None for the library's default (-1), else a finite number >= 0.
static double threshold(nb::handle value, const char *name) {
    if (value.is_none()) return -1;
    const std::string shown = nb::repr(value).c_str();
    const std::string brief = shown.size() > 40 ? shown.substr(0, 37) + "..." : shown;
    if (nb::isinstance<nb::bool_>(value) ||
        !(nb::isinstance<nb::float_>(value) || nb::isinstance<nb::int_>(value) ||
          nb::hasattr(value, "__float__")) ||
        nb::isinstance<nb::str>(value))
        throw nb::type_error((std::string(name) + " must be a number, not " + brief).c_str());
    double number = NAN;
    try {
        number = nb::cast<double>(value.attr("__float__")());
    } catch (const nb::python_error &) {  // an int too large for a double
    }
    if (!(isfinite(number) && number >= 0))
        throw nb::value_error(
            (std::string(name) + " must be a finite number of 0 or more, not " + brief).c_str());
    return number;
}

// A frame's steps in samples from one column, and one row, to the next. An
// axis of length 1 is never stepped along, whatever its stride (numpy gives
// a new axis 0): it counts as contiguous.
static int64_t column_step(const frame &f) { return f.shape(1) == 1 ? 1 : f.stride(1); }
static int64_t row_step(const frame &f) {
    return f.shape(0) == 1 ? (int64_t)f.shape(1) : f.stride(0);
}

// The frames as the library takes them, every check made; pointers keeps
// their first samples.
static phaze_frames frames_of(const std::vector<frame> &frames,
                              std::vector<const void *> *pointers) {
    const size_t count = frames.size();
    if (count < PHAZE_MIN_FRAMES || count > PHAZE_MAX_FRAMES)
        throw nb::value_error(
            ("phaze takes 3 to 32 frames of one scene, not " + std::to_string(count)).c_str());
    const frame &a = frames[0];
    const int type = sample_type_of(a);
    for (size_t k = 0; k < count; k++) {
        const frame &f = frames[k];
        const std::string which = "frame " + std::to_string(k + 1);
        if (sample_type_of(f) < 0)
            throw nb::type_error(
                (which + ": phaze takes uint8, uint16, float32 or float64 samples").c_str());
        if (sample_type_of(f) != type) throw nb::type_error("the frames must have one dtype");
        if (f.ndim() != 2) throw nb::value_error((which + " must be 2-D").c_str());
        if (f.shape(0) == 0 || f.shape(1) == 0)
            throw nb::value_error((which + " has no pixels").c_str());
        if (f.shape(0) != a.shape(0) || f.shape(1) != a.shape(1))
            throw nb::value_error("the frames must have one shape");
        if (column_step(f) != 1 || row_step(f) != row_step(a) || row_step(f) < (int64_t)f.shape(1))
            throw nb::value_error(
                "each frame's rows must be contiguous, with one row stride for all");
    }
    if (a.shape(0) > 0x7fffffff || a.shape(1) > 0x7fffffff)
        throw nb::value_error("frames of more than 2^31 rows or columns");
    pointers->clear();
    for (const frame &f : frames) pointers->push_back(f.data());
    return phaze_frames{pointers->data(), (int)count,      type,
                        (int)a.shape(1),  (int)a.shape(0), (size_t)row_step(a) * a.itemsize()};
}

static phaze_options options_of(nb::handle min_modulation, nb::handle saturation,
                                const std::string &device, const std::string &harmonics) {
    phaze_options options;
    phaze_default_options(&options);
    options.min_modulation = threshold(min_modulation, "min_modulation");
    options.saturation = threshold(saturation, "saturation");
    if (device == "auto")
        options.device = PHAZE_DEVICE_AUTO;
    else if (device == "cpu")
        options.device = PHAZE_DEVICE_CPU;
    else if (device == "cuda")
        options.device = PHAZE_DEVICE_CUDA;
    else
        throw nb::value_error("device is 'auto', 'cpu' or 'cuda'");
    if (harmonics == "auto")
        options.harmonics = PHAZE_HARMONICS_AUTO;
    else if (harmonics == "off")
        options.harmonics = PHAZE_HARMONICS_OFF;
    else
        throw nb::value_error("harmonics is 'auto' or 'off'");
    return options;
}

// The library's analysis of sets (one, or several at their periods); steps:
// none, one list for every set, or one a set.
static nb::tuple analyse_sets(const std::vector<std::vector<frame>> &sets,
                              const std::vector<double> &periods, nb::handle min_modulation,
                              nb::handle saturation, const std::string &device,
                              const std::string &harmonics,
                              const std::vector<std::vector<double>> &steps) {
    if (steps.size() > 1 && steps.size() != sets.size())
        throw nb::value_error(("give one list of steps for every set, or one a set: " +
                               std::to_string(steps.size()) + " lists for " +
                               std::to_string(sets.size()) + " sets")
                                  .c_str());
    std::vector<phaze_options> options(sets.size(),
                                       options_of(min_modulation, saturation, device, harmonics));
    for (size_t k = 0; k < sets.size() && !steps.empty(); k++) {
        const std::vector<double> &given = steps[steps.size() == 1 ? 0 : k];
        if (given.size() != sets[k].size())
            throw nb::value_error((std::to_string(given.size()) + " steps given for " +
                                   std::to_string(sets[k].size()) + " frames" +
                                   (sets.size() > 1 ? " (set " + std::to_string(k + 1) + ")" : "") +
                                   ": give one a frame")
                                      .c_str());
        options[k].step_count = (int)given.size();
        std::copy(given.begin(), given.end(), options[k].steps);
    }
    std::vector<std::vector<const void *>> pointers(sets.size());
    std::vector<phaze_frames> views;
    for (size_t k = 0; k < sets.size(); k++) views.push_back(frames_of(sets[k], &pointers[k]));
    for (const phaze_frames &v : views)
        if (v.width != views[0].width || v.height != views[0].height)
            throw nb::value_error("the sets must have one shape");
    const size_t rows = views[0].height, columns = views[0].width;
    auto phase = owned_array<double>({rows, columns});
    auto modulation = owned_array<float>({rows, columns});
    auto mask = owned_array<bool>({rows, columns});
    phaze_report report;
    char message[512] = "";
    phaze_status status;
    {
        nb::gil_scoped_release unlocked;
        status = periods.empty()
                     ? phaze_analyse(&views[0], &options[0], phase.data(), modulation.data(),
                                     (unsigned char *)mask.data(), &report, message, sizeof message)
                     : phaze_analyse_periods_each(views.data(), (int)views.size(), periods.data(),
                                                  options.data(), phase.data(), modulation.data(),
                                                  (unsigned char *)mask.data(), &report, message,
                                                  sizeof message);
    }
    if (status == PHAZE_NO_MEMORY) throw std::bad_alloc();
    if (status != PHAZE_OK) throw nb::value_error(message);
    return nb::make_tuple(phase, modulation, mask,
                          report_dict(report, periods, views[0].type, rows, columns));
}

static nb::tuple analyse(const std::vector<frame> &frames, nb::handle min_modulation,
                         nb::handle saturation, const std::string &device,
                         const std::string &harmonics,
                         const std::vector<std::vector<double>> &steps) {
    return analyse_sets({frames}, {}, min_modulation, saturation, device, harmonics, steps);
}

static nb::tuple analyse_periods(const std::vector<std::vector<frame>> &sets,
                                 const std::vector<double> &periods, nb::handle min_modulation,
                                 nb::handle saturation, const std::string &device,
                                 const std::string &harmonics,
                                 const std::vector<std::vector<double>> &steps) {
    if (sets.size() != periods.size())
        throw nb::value_error(("sets and periods differ in number: " + std::to_string(sets.size()) +
                               " and " + std::to_string(periods.size()))
                                  .c_str());
    if (sets.size() < 2 || sets.size() > PHAZE_MAX_PERIODS)
        throw nb::value_error("temporal unwrapping takes 2 to 8 sets, with a period each");
    return analyse_sets(sets, periods, min_modulation, saturation, device, harmonics, steps);
}

template <typename T>
static bool all_zero_or_one(const nb::ndarray<nb::ro, nb::ndim<2>, nb::device::cpu> &m,
                            unsigned char *to) {
    const T *values = (const T *)m.data();
    for (size_t r = 0, i = 0; r < m.shape(0); r++)
        for (size_t c = 0; c < m.shape(1); c++, i++) {
            const T v = values[(int64_t)r * m.stride(0) + (int64_t)c * m.stride(1)];
            if (v != 0 && v != 1) return false;
            to[i] = (unsigned char)v;
        }
    return true;
}

// A mask as bytes, 1 valid: booleans, or integers that are all 0 or 1. Any
// other value has no meaning as a mask (a cast would make 0.5 or 256 masked).
static std::vector<unsigned char> mask_bytes(
    const nb::ndarray<nb::ro, nb::ndim<2>, nb::device::cpu> &m) {
    const nb::dlpack::dtype type = m.dtype();
    const auto code = (nb::dlpack::dtype_code)type.code;
    const bool boolean = code == nb::dlpack::dtype_code::Bool,
               integer =
                   code == nb::dlpack::dtype_code::Int || code == nb::dlpack::dtype_code::UInt;
    if (!(boolean || integer) || type.lanes != 1)
        throw nb::type_error("the mask must be booleans (or integers 0 and 1)");
    std::vector<unsigned char> bytes(m.shape(0) * m.shape(1));
    const bool is_signed = code == nb::dlpack::dtype_code::Int;
    bool good = false;
    switch (type.bits) {
        case 8:
            good = is_signed ? all_zero_or_one<int8_t>(m, bytes.data())
                             : all_zero_or_one<uint8_t>(m, bytes.data());
            break;
        case 16:
            good = is_signed ? all_zero_or_one<int16_t>(m, bytes.data())
                             : all_zero_or_one<uint16_t>(m, bytes.data());
            break;
        case 32:
            good = is_signed ? all_zero_or_one<int32_t>(m, bytes.data())
                             : all_zero_or_one<uint32_t>(m, bytes.data());
            break;
        case 64:
            good = is_signed ? all_zero_or_one<int64_t>(m, bytes.data())
                             : all_zero_or_one<uint64_t>(m, bytes.data());
            break;
        default: throw nb::type_error("the mask must be booleans (or integers 0 and 1)");
    }
    if (!good) throw nb::value_error("the mask must hold only True and False (or 0 and 1)");
    return bytes;
}

static nb::tuple unwrap(
    nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu> phase,
    std::optional<nb::ndarray<nb::ro, nb::ndim<2>, nb::device::cpu>> mask,
    std::optional<nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>>
        modulation) {
    const size_t rows = phase.shape(0), columns = phase.shape(1);
    if (rows == 0 || columns == 0) throw nb::value_error("the phase has no pixels");
    if (rows > 0x7fffffff || columns > 0x7fffffff)
        throw nb::value_error("a phase of more than 2^31 rows or columns");
    if ((mask && (mask->shape(0) != rows || mask->shape(1) != columns)) ||
        (modulation && (modulation->shape(0) != rows || modulation->shape(1) != columns)))
        throw nb::value_error("the mask and the modulation must have the phase's shape");
    const std::vector<unsigned char> valid =
        mask ? mask_bytes(*mask) : std::vector<unsigned char>();
    auto unwrapped = owned_array<double>({rows, columns});
    int regions = 0;
    char message[256] = "";
    phaze_status status;
    {
        nb::gil_scoped_release unlocked;
        status = phaze_unwrap(phase.data(), mask ? valid.data() : NULL,
                              modulation ? modulation->data() : NULL, (int)columns, (int)rows,
                              unwrapped.data(), &regions, message, sizeof message);
    }
    if (status == PHAZE_NO_MEMORY) throw std::bad_alloc();
    if (status != PHAZE_OK) throw nb::value_error(message);
    return nb::make_tuple(unwrapped, regions);
}

void bind_files(nb::module_ &m);  // files.cpp: the command's readers and writers
void bind_points(nb::module_ &m);  // points.cpp: calibrations, triangulation, point files

NB_MODULE(_phaze, m) {
    m.doc() = "libphaze, bound for numpy; use the phaze package rather than this module.";
    m.def("analyse", &analyse, nb::arg("frames"), nb::arg("min_modulation").none(),
          nb::arg("saturation").none(), nb::arg("device"), nb::arg("harmonics"), nb::arg("steps"),
          "The library on 3 to 32 2-D frames; (phase, modulation, mask, report).");
    m.def("analyse_periods", &analyse_periods, nb::arg("sets"), nb::arg("periods"),
          nb::arg("min_modulation").none(), nb::arg("saturation").none(), nb::arg("device"),
          nb::arg("harmonics"), nb::arg("steps"),
          "The absolute phase of sets of frames at several fringe periods; as analyse.");
    m.def("unwrap", &unwrap, nb::arg("phase"), nb::arg("mask").none(), nb::arg("modulation").none(),
          "Spatial unwrapping over the mask; (unwrapped, regions).");
    m.def("cuda_available", &phaze_cuda_available, "True when the CUDA engine and a GPU are here.");
    m.attr("__version__") = phaze_version();
    bind_files(m);
    bind_points(m);
}
