// The Python binding of libphaze: three 2-D numpy frames in (rows may be
// strided; each row's samples contiguous), the library's outputs as numpy
// arrays out. python/phaze/__init__.py shapes the arguments and the result.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <math.h>
#include <stdint.h>

#include <string>

#include "phaze/phaze.h"

namespace nb = nanobind;

using frame = nb::ndarray<nb::ro, nb::ndim<2>, nb::device::cpu>;

static phaze_sample_type sample_type_of(const frame &f) {
    if (f.dtype() == nb::dtype<uint8_t>()) return PHAZE_UINT8;
    if (f.dtype() == nb::dtype<uint16_t>()) return PHAZE_UINT16;
    if (f.dtype() == nb::dtype<float>()) return PHAZE_FLOAT32;
    if (f.dtype() == nb::dtype<double>()) return PHAZE_FLOAT64;
    throw nb::type_error("frames must be uint8, uint16, float32 or float64");
}

template <typename T>
static nb::ndarray<nb::numpy, T, nb::ndim<2>> owned_array(size_t rows, size_t columns) {
    T *data = new T[rows * columns];
    nb::capsule owner(data, [](void *p) noexcept { delete[](T *) p; });
    return nb::ndarray<nb::numpy, T, nb::ndim<2>>(data, {rows, columns}, owner);
}

static nb::dict report_dict(const phaze_report &r, const frame &f) {
    nb::dict d;
    d["steps"] = nb::make_tuple(r.steps[0], r.steps[1], r.steps[2]);
    d["phase_offset"] = r.phase_offset;
    d["background"] = r.background;
    d["modulation"] = r.modulation;
    d["masked_fraction"] = r.masked_fraction;
    d["residual_rms"] = r.residual_rms;
    nb::list warnings;
    std::string all = r.warnings;
    for (size_t start = 0; start < all.size();) {
        const size_t end = all.find('\n', start);
        warnings.append(
            all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    d["warnings"] = warnings;
    d["width"] = f.shape(1);
    d["height"] = f.shape(0);
    const char *types[] = {"uint8", "uint16", "float32", "float64"};
    d["sample_type"] = types[sample_type_of(f)];
    d["min_modulation"] = r.min_modulation;
    d["saturation"] = isfinite(r.saturation) ? nb::cast(r.saturation) : nb::none();
    d["device"] = r.device == PHAZE_DEVICE_CUDA ? "cuda" : "cpu";
    d["seconds"] = r.seconds;
    return d;
}

static nb::tuple analyse(const frame &a, const frame &b, const frame &c, double min_modulation,
                         double saturation, const std::string &device) {
    const frame *frames[3] = {&a, &b, &c};
    const phaze_sample_type type = sample_type_of(a);
    for (const frame *f : frames) {
        if (sample_type_of(*f) != type)
            throw nb::type_error("the three frames must have one dtype");
        if (f->shape(0) != a.shape(0) || f->shape(1) != a.shape(1))
            throw nb::value_error("the three frames must have one shape");
        if (f->stride(1) != 1 || f->stride(0) != a.stride(0) || f->stride(0) < (int64_t)f->shape(1))
            throw nb::value_error(
                "each frame's rows must be contiguous, with one row stride for all");
    }
    if (a.shape(0) > 0x7fffffff || a.shape(1) > 0x7fffffff)
        throw nb::value_error("frames of more than 2^31 rows or columns");
    phaze_options options;
    phaze_default_options(&options);
    options.min_modulation = min_modulation;
    options.saturation = saturation;
    if (device == "auto")
        options.device = PHAZE_DEVICE_AUTO;
    else if (device == "cpu")
        options.device = PHAZE_DEVICE_CPU;
    else if (device == "cuda")
        options.device = PHAZE_DEVICE_CUDA;
    else
        throw nb::value_error("device is 'auto', 'cpu' or 'cuda'");

    const size_t rows = a.shape(0), columns = a.shape(1);
    const phaze_frames f = {{a.data(), b.data(), c.data()},
                            type,
                            (int)columns,
                            (int)rows,
                            (size_t)a.stride(0) * a.itemsize()};
    auto phase = owned_array<double>(rows, columns);
    auto modulation = owned_array<float>(rows, columns);
    auto mask = owned_array<bool>(rows, columns);
    phaze_report report;
    char message[512] = "";
    phaze_status status;
    {
        nb::gil_scoped_release unlocked;
        status = phaze_analyse(&f, &options, phase.data(), modulation.data(),
                               (unsigned char *)mask.data(), &report, message, sizeof message);
    }
    if (status == PHAZE_NO_MEMORY) throw std::bad_alloc();
    if (status != PHAZE_OK) throw nb::value_error(message);
    return nb::make_tuple(phase, modulation, mask, report_dict(report, a));
}

NB_MODULE(_phaze, m) {
    m.doc() = "libphaze, bound for numpy; use the phaze package rather than this module.";
    m.def("analyse", &analyse, nb::arg("frame1"), nb::arg("frame2"), nb::arg("frame3"),
          nb::arg("min_modulation"), nb::arg("saturation"), nb::arg("device"),
          "The library on three 2-D frames; (phase, modulation, mask, report).");
    m.def("cuda_available", &phaze_cuda_available, "True when the CUDA engine and a GPU are here.");
    m.attr("__version__") = phaze_version();
}
