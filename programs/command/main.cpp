// phaze: the command for real camera frames. Reads each set of three frames,
// runs the library on them and writes the set's results; one bad set does not
// stop a batch. Messages go to standard error, prefixed "phaze:".
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "command/arguments.h"
#include "command/frame_set.h"
#include "command/set_results.h"
#include "phaze/phaze.h"

// A bar on standard error while a long batch runs, only on a terminal.
struct progress {
    bool shown;
    size_t sets;
    void draw(size_t done) const {
        if (!shown) return;
        const int width = 30, filled = (int)(width * done / sets);
        fprintf(stderr, "\rphaze: [%.*s%*s] %zu/%zu sets", filled,
                "==============================", width - filled, "", done, sets);
        fflush(stderr);
    }
    void clear() const {
        if (shown) fprintf(stderr, "\r\033[K");
    }
};

static int set_failed(const progress &bar, const std::string &file, const std::string &reason) {
    bar.clear();
    fprintf(stderr, "phaze: %s: %s\n", file.c_str(), reason.c_str());
    return 1;
}

static int run_set(const command_options &o, const std::vector<std::string> &paths,
                   const std::string &prefix, const progress &bar) {
    // One set of frames, or one at each period.
    const size_t count = o.periods.empty() ? 1 : o.periods.size(), n = o.frames_per_set;
    std::vector<frame_set> sets(count);
    set_outputs out;
    std::string file, reason;
    try {
        for (size_t k = 0; k < count; k++) {
            const std::vector<std::string> frames(paths.begin() + n * k,
                                                  paths.begin() + n * (k + 1));
            if (load_frame_set(o, frames, &sets[k], &file, &reason))
                return set_failed(bar, file, reason);
        }
        const size_t pixels = (size_t)sets[0].view.width * sets[0].view.height;
        out.pixels = pixels;
        out.phase.reset(new double[pixels]);
        out.modulation.reset(new float[pixels]);
        out.mask.reset(new unsigned char[pixels]);
    } catch (const std::bad_alloc &) {
        return set_failed(bar, paths[0], "not enough memory for this set");
    }
    char message[512] = "";
    std::vector<phaze_frames> views;
    for (const frame_set &set : sets) views.push_back(set.view);
    const phaze_status status =
        o.periods.empty()
            ? phaze_analyse(&views[0], &sets[0].options, out.phase.get(), out.modulation.get(),
                            out.mask.get(), &out.report, message, sizeof message)
            : phaze_analyse_periods(views.data(), (int)count, o.periods.data(), &sets[0].options,
                                    out.phase.get(), out.modulation.get(), out.mask.get(),
                                    &out.report, message, sizeof message);
    if (status != PHAZE_OK) return set_failed(bar, paths[0], message);
    if (o.unwrap) {
        try {
            out.unwrapped.reset(new double[out.pixels]);
        } catch (const std::bad_alloc &) {
            return set_failed(bar, paths[0], "not enough memory to unwrap the phase");
        }
        if (phaze_unwrap(out.phase.get(), out.mask.get(), out.modulation.get(), views[0].width,
                         views[0].height, out.unwrapped.get(), &out.regions, message,
                         sizeof message) != PHAZE_OK)
            return set_failed(bar, paths[0], message);
    }
    frame_set &set = sets[0];
    for (size_t k = 1; k < count; k++)
        for (const std::string &w : sets[k].warnings)
            if (std::find(set.warnings.begin(), set.warnings.end(), w) == set.warnings.end())
                set.warnings.push_back(w);
    std::vector<std::string> written;
    if (write_set_results(o, prefix, paths, set, out, &written, &file, &reason))
        return set_failed(bar, file, "can't write it: " + reason);
    if (!o.quiet) {
        bar.clear();
        const phaze_report &r = out.report;
        fprintf(stderr, "phaze: %s: steps", paths[0].c_str());
        for (int k = 0; k < r.frame_count; k++) fprintf(stderr, " %.3f", r.steps[k]);
        fprintf(stderr, " rad, %.1f%% masked ->", 100 * r.masked_fraction);
        for (const std::string &name : written) fprintf(stderr, " %s", name.c_str());
        fprintf(stderr, "\n");
        for (const std::string &w : report_warnings(set, r))
            fprintf(stderr, "phaze: %s: warning: %s\n", paths[0].c_str(), w.c_str());
    }
    return 0;
}

int main(int argc, char **argv) {
    command_options options;
    const int parsed = parse_arguments(argc, argv, &options);
    if (parsed != ARGUMENTS_RUN) return parsed;
    std::vector<std::string> prefixes;
    if (result_prefixes(options, &prefixes) != ARGUMENTS_RUN) return ARGUMENTS_BAD;
    if (options.device == PHAZE_DEVICE_CUDA && !phaze_cuda_available()) {
        fprintf(stderr,
                "phaze: --device cuda: no CUDA device here, or this build has no CUDA engine\n");
        return 1;
    }
    const size_t sets = prefixes.size();
    if (sets > 1 && !options.output.empty() && mkdir(options.output.c_str(), 0777) != 0 &&
        errno != EEXIST) {
        fprintf(stderr, "phaze: %s: can't make the folder: %s\n", options.output.c_str(),
                strerror(errno));
        return 1;
    }
    const progress bar = {!options.quiet && sets > 1 && isatty(STDERR_FILENO), sets};
    size_t failed = 0;
    for (size_t s = 0; s < sets; s++) {
        bar.draw(s);
        const size_t n = frames_per_result(options);
        const std::vector<std::string> paths(options.frames.begin() + n * s,
                                             options.frames.begin() + n * (s + 1));
        failed += run_set(options, paths, prefixes[s], bar);
    }
    bar.clear();
    if (failed > 0 && sets > 1) fprintf(stderr, "phaze: %zu of %zu sets failed\n", failed, sets);
    return failed > 0 ? 1 : 0;
}
