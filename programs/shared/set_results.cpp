#include "shared/set_results.h"

#include "shared/report_sentences.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>

#include "shared/format_lf.h"
#include "shared/in_parallel.h"
#include "shared/point_files.h"
#include "shared/result_files.h"
#include "shared/result_names.h"
#include "shared/phase_colours.h"

using json = nlohmann::ordered_json;

static int write_bytes(const std::string &path, const std::string &head, const void *body,
                       size_t size, std::string *reason) {
    FILE *file = fopen(path.c_str(), "wb");
    int error = file == NULL ? errno : 0;
    if (file != NULL) {
        errno = 0;
        if (fwrite(head.data(), 1, head.size(), file) != head.size() ||
            fwrite(body, 1, size, file) != size)
            error = errno ? errno : EIO;
        // Buffered bytes meet a full disk only here.
        errno = 0;
        if (fclose(file) != 0 && error == 0) error = errno ? errno : EIO;
    }
    if (error != 0) *reason = strerror(error);
    return error != 0;
}

static int write_npy(const std::string &path, const frame_set &set, const set_outputs &out,
                     std::string *reason) {
    std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (" +
                         std::to_string(set.view.height) + ", " + std::to_string(set.view.width) +
                         "), }";
    const size_t unpadded = 10 + header.size() + 1;  // magic, version, length; the line feed
    header += std::string((64 - unpadded % 64) % 64, ' ') + "\n";
    std::string head = std::string("\x93NUMPY\x01\x00", 8);
    head += (char)(header.size() & 0xff);
    head += (char)(header.size() >> 8);
    return write_bytes(path, head + header, out.phase.data(), out.pixels * sizeof(double), reason);
}

static int write_text(const std::string &path, const set_outputs &out, std::string *reason) {
    std::string text;
    text.reserve(out.pixels * 10);
    char line[FORMAT_LF_MAX + 1];
    for (size_t i = 0; i < out.pixels; i++) {
        text.append(line, format_lf(out.phase[i], line));
        text += '\n';
    }
    return write_bytes(path, "", text.data(), text.size(), reason);
}

// ---- the JSON report ----

// Nine significant digits, as much as a float32 result holds and a reader wants.
static json number(double value) {
    if (!isfinite(value)) return nullptr;
    char text[32];
    snprintf(text, sizeof text, "%.9g", value);
    return strtod(text, NULL);
}

std::vector<std::string> report_warnings(const run_options &o, const frame_set &set,
                                         const phaze_report &r) {
    std::vector<std::string> all = set.warnings;
    for (const std::string &w : phaze_internal::report_sentences(r, o.periods)) all.push_back(w);
    return all;
}

static std::string report_json(const run_options &o, const std::vector<std::string> &paths,
                               const frame_set &set, const set_outputs &out) {
    const phaze_report &r = out.report;
    json steps = json::array();
    for (int k = 0; k < r.frame_count; k++) steps.push_back(number(r.steps[k]));
    json report;
    report["steps"] = steps;
    if (r.steps_given) {
        json measured = json::array();
        for (int k = 0; k < r.frame_count; k++) measured.push_back(number(r.measured_steps[k]));
        report["measured_steps"] = measured;
    }
    report["phase_offset"] = number(r.phase_offset);
    report["background"] = number(r.background);
    report["modulation"] = number(r.modulation);
    report["masked_fraction"] = number(r.masked_fraction);
    report["residual_rms"] = number(r.residual_rms);
    report["warnings"] = report_warnings(o, set, r);
    report["inputs"] = paths;
    report["width"] = set.view.width;
    report["height"] = set.view.height;
    report["sample_type"] = set.sample_type;
    report["min_modulation"] = number(r.min_modulation);
    report["saturation"] = number(r.saturation);
    report["device"] = phaze_device_name(r.device);
    if (!o.periods.empty()) report["periods"] = o.periods;
    if (o.unwrap) report["unwrapped_regions"] = out.regions;
    if (!o.calibration.empty()) report["points"] = out.points;
    report["harmonics"] = {{"removed", r.ripple_removed != 0},
                           {"ripple_rms", number(r.ripple_rms)},
                           {"evidence", number(r.ripple_evidence)},
                           {"terms", r.ripple_terms},
                           {"outcome", phaze_ripple_outcome_text(r.ripple_outcome)}};
    report["seconds"] = number(r.seconds);
    // A file name need not be UTF-8; JSON must be.
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// libtiff and libpng report a full disk in words of their own.
static std::string why_not_written(const std::string &reason, int error) {
    return error == ENOSPC || error == EDQUOT ? strerror(error) : reason;
}

// A band of rows of the result's values as float32 samples.
template <typename From>
static row_source float_rows(const frame_set &set, const From *values) {
    const size_t width = (size_t)set.view.width;
    return [values, width](int first, int rows, unsigned char *to) {
        float *samples = (float *)to;
        const From *from = values + (size_t)first * width;
        for (size_t i = 0; i < (size_t)rows * width; i++) samples[i] = (float)from[i];
    };
}

// The phase picture's palette indices, made by the phase TIFF's writer from the rows it
// converts, and taken by the picture's writer as they come: the phase (8 bytes
// a pixel) is read from memory once for both files, not twice.
struct phase_picture {
    large_array<unsigned char> bytes;
    std::mutex lock;
    std::condition_variable more;
    int rows_done = 0;
    bool given_up = false;

    void made(int rows) {
        const std::lock_guard<std::mutex> hold(lock);
        rows_done = rows;
        more.notify_all();
    }
    // The maker stopped (done or failed): whoever waits makes the rest itself.
    void stopped() {
        const std::lock_guard<std::mutex> hold(lock);
        given_up = true;
        more.notify_all();
    }
    bool wait_for(int rows) {
        std::unique_lock<std::mutex> hold(lock);
        more.wait(hold, [&]() { return rows_done >= rows || given_up; });
        return rows_done >= rows;
    }
};

// Rows of the phase as float32 samples, and their picture bytes besides, a
// chunk at a time while the chunk is in the cache.
static row_source phase_rows(const frame_set &set, const double *phase, phase_picture *picture) {
    const size_t width = (size_t)set.view.width;
    return [phase, width, picture](int first, int rows, unsigned char *to) {
        float *samples = (float *)to;
        const size_t start = (size_t)first * width, count = (size_t)rows * width, chunk = 4096;
        for (size_t done = 0; done < count; done += chunk) {
            const size_t n = count - done < chunk ? count - done : chunk;
            const double *from = phase + start + done;
            for (size_t i = 0; i < n; i++) samples[done + i] = (float)from[i];
            phase_picture_indices(from, n, picture->bytes.data() + start + done);
        }
        picture->made(first + rows);
    };
}

// Result k of the set into the file at path. 0, or 1 with *reason. picture:
// the phase picture's bytes as the phase TIFF's writer makes them, or NULL.
static int write_result(int k, const run_options &o, const std::string &path,
                        const std::vector<std::string> &paths, const frame_set &set,
                        const set_outputs &out, phase_picture *picture, std::string *reason) {
    const int width = set.view.width, height = set.view.height;
    switch (k) {
        case 0: {
            if (picture == NULL)
                return write_tiff_rows(path.c_str(), width, height, PIXELS_F32,
                                       float_rows(set, out.phase.data()), reason);
            // However the writing ends (an exception too), the picture's writer stops waiting.
            const struct stop_at_end {
                phase_picture *picture;
                ~stop_at_end() { picture->stopped(); }
            } stop = {picture};
            return write_tiff_rows(path.c_str(), width, height, PIXELS_F32,
                                   phase_rows(set, out.phase.data(), picture), reason);
        }
        case 1:
            return write_tiff_samples(path.c_str(), width, height, PIXELS_F32,
                                      out.modulation.data(), reason);
        case 2:
        case 3: {
            const bool mask = k == 2;
            unsigned char colours[256][3];
            if (!mask) phase_palette(colours);
            return write_png_rows(
                path.c_str(), width, height, PIXELS_U8,
                [&](int first, int rows, unsigned char *to) {
                    const size_t start = (size_t)first * width, count = (size_t)rows * width;
                    if (mask) {
                        const unsigned char *valid = out.mask.data() + start;
                        for (size_t i = 0; i < count; i++) to[i] = valid[i] ? 255 : 0;
                    } else if (picture != NULL && picture->wait_for(first + rows)) {
                        memcpy(to, picture->bytes.data() + start, count);
                    } else {
                        phase_picture_indices(out.phase.data() + start, count, to);
                    }
                },
                reason, mask ? nullptr : colours);
        }
        case 4: {
            const std::string json = report_json(o, paths, set, out);
            return write_bytes(path, "", json.data(), json.size(), reason);
        }
        case 5: return write_npy(path, set, out, reason);
        case 6: return write_text(path, out, reason);
        case 7:
            return write_tiff_rows(path.c_str(), width, height, PIXELS_F32,
                                   float_rows(set, out.unwrapped.data()), reason);
        default: {
            phaze_internal::point_image points;
            points.width = width, points.height = height;
            points.xyz = out.xyz.data(), points.gray = out.gray.data();
            const phaze_internal::point_format format = k == 8   ? phaze_internal::POINTS_PLY
                                                        : k == 9 ? phaze_internal::POINTS_DEPTH
                                                                 : phaze_internal::POINTS_XYZ;
            return phaze_internal::write_point_file(format, path, points, reason);
        }
    }
}

int write_set_results(const run_options &o, const std::string &prefix,
                      const std::vector<std::string> &paths, const frame_set &set,
                      const set_outputs &out, std::vector<std::string> *written, std::string *file,
                      std::string *reason) {
    pending_file files[RESULT_KINDS];
    int count = 0, failed = 0, which[RESULT_KINDS];
    for (int k = 0; k < RESULT_KINDS && !failed; k++) {
        if (!result_wanted(o, k)) continue;
        const std::string name = prefix + RESULT_SUFFIXES[k];
        const int error = begin_result(name.c_str(), &files[count]);
        if (error != 0) {
            *file = name, *reason = strerror(error);
            failed = 1;
            break;
        }
        which[count++] = k;
    }
    // The files are written side by side, each from its own band of rows.
    struct outcome {
        int failed = 0;
        std::string reason;
    };
    // With both phase files wanted, the TIFF's writer makes the picture's bytes
    // (the TIFF is started first, and where no thread can be had, run first).
    std::unique_ptr<phase_picture> picture;
    if (o.tiff && o.png) try {
            picture.reset(new phase_picture);
            picture->bytes.resize(out.pixels);
        } catch (const std::bad_alloc &) {
            picture.reset();  // each writer reads the phase itself
        }
    std::vector<std::future<outcome>> writing;
    // Declared after writing, so destroyed before it: however this function
    // ends (an exception too), the picture's writer stops waiting before the
    // futures of the writers are joined.
    const struct stop_at_end {
        phase_picture *picture;
        ~stop_at_end() {
            if (picture != NULL) picture->stopped();
        }
    } stop = {picture.get()};
    const auto write_file = [&](int f) {
        outcome r;
        errno = 0;
        try {
            r.failed = write_result(which[f], o, files[f].temporary, paths, set, out, picture.get(),
                                    &r.reason);
        } catch (const std::bad_alloc &) {
            r.failed = 1, r.reason = "not enough memory";
        }
        if (r.failed) r.reason = why_not_written(r.reason, errno);
        return r;
    };
    // Room for every future first: a push_back that failed would join a
    // writer's thread while its temporary future unwinds.
    try {
        writing.reserve(count);
        for (int f = 0; f < count && !failed; f++)
            writing.push_back(start_work([&write_file, f]() { return write_file(f); }));
    } catch (const std::bad_alloc &) {
        // The writers that run are let finish (no thread runs a deferred one),
        // and nothing is left of the set.
        if (picture != NULL) picture->stopped();
        for (std::future<outcome> &w : writing)
            if (w.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) w.wait();
        abandon_results(files, count);
        *file = files[0].final_name, *reason = "not enough memory";
        return 1;
    }
    for (size_t f = 0; f < writing.size(); f++) {
        const outcome r = writing[f].get();
        if (r.failed && !failed) *file = files[f].final_name, *reason = r.reason, failed = 1;
    }
    if (failed) {
        abandon_results(files, count);
        return 1;
    }
    const char *failed_name = NULL;
    const int error = commit_results(files, count, &failed_name);
    if (error != 0) {
        *file = failed_name;
        *reason = strerror(error);
        return 1;
    }
    for (int k = 0; k < count; k++) written->push_back(files[k].final_name);
    return 0;
}
