// phaze: the command for real camera frames. Reads each set of three frames,
// runs the library on them and writes the set's results (with a calibration,
// its 3-D points too); one bad set does not stop a batch. Messages go to
// standard error, prefixed "phaze:".
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <new>

#include "command/arguments.h"
#include "shared/set_reading.h"
#include "shared/set_results.h"
#include "shared/calibration.h"
#include "shared/in_parallel.h"
#include "shared/set_points.h"
#include "shared/large_memory.h"
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

// One result's work as it goes through the stages: reading, analysis, writing.
// A stage that fails leaves its line in failure, and the later ones skip it.
struct job {
    std::vector<std::string> paths;
    std::string prefix;
    std::vector<frame_set> sets;  // one, or one at each period
    set_outputs out;
    std::string failure, said;  // the lines it prints
    memory_admission *admission;
    double reserved = 0;                     // of the admission's memory
    const phaze_internal::calibration *rig;  // NULL: no points
};

static void fail(job &j, const std::string &file, const std::string &reason) {
    j.failure = "phaze: " + file + ": " + reason + "\n";
}

static void read_job(const run_options &o, job &j) {
    const size_t count = o.periods.empty() ? 1 : o.periods.size(), n = o.frames_per_set;
    std::string file, reason;
    try {
        j.sets.resize(count);
        for (size_t k = 0; k < count; k++) {
            const std::vector<std::string> frames(j.paths.begin() + n * k,
                                                  j.paths.begin() + n * (k + 1));
            if (load_frame_set(o, frames, &j.sets[k], &file, &reason, j.admission, &j.reserved))
                return fail(j, file, reason);
        }
    } catch (const std::bad_alloc &) {
        return fail(j, j.paths[0], "not enough memory for this set");
    }
}

static void analyse_job(const run_options &o, job &j) {
    if (!j.failure.empty()) return;
    set_outputs &out = j.out;
    try {
        out.pixels = (size_t)j.sets[0].view.width * j.sets[0].view.height;
        out.phase.resize(out.pixels);
        out.modulation.resize(out.pixels);
        out.mask.resize(out.pixels);
        if (o.unwrap) out.unwrapped.resize(out.pixels);
    } catch (const std::bad_alloc &) {
        return fail(j, j.paths[0], "not enough memory for this set");
    }
    // The sets of one result share their thresholds: frames of another depth or
    // maxval would be judged on the wrong scale.
    for (size_t k = 1; k < j.sets.size(); k++)
        if (j.sets[k].options.min_modulation != j.sets[0].options.min_modulation ||
            j.sets[k].options.saturation != j.sets[0].options.saturation ||
            j.sets[k].view.type != j.sets[0].view.type)
            return fail(j, j.paths[k * o.frames_per_set],
                        std::string("its samples are ") + j.sets[k].sample_type + ", " +
                            j.paths[0] + "'s " + j.sets[0].sample_type +
                            (j.sets[k].sample_type == std::string(j.sets[0].sample_type)
                                 ? " of another full scale"
                                 : "") +
                            ": the sets of a result share their thresholds");
    char message[512] = "";
    std::vector<phaze_frames> views;
    for (const frame_set &set : j.sets) views.push_back(set.view);
    const phaze_options &options = j.sets[0].options;
    const phaze_status status =
        o.periods.empty()
            ? phaze_analyse(&views[0], &options, out.phase.data(), out.modulation.data(),
                            out.mask.data(), &out.report, message, sizeof message)
            : phaze_analyse_periods(views.data(), (int)views.size(), o.periods.data(), &options,
                                    out.phase.data(), out.modulation.data(), out.mask.data(),
                                    &out.report, message, sizeof message);
    if (status != PHAZE_OK) return fail(j, j.paths[0], message);
    if (o.unwrap && phaze_unwrap(out.phase.data(), out.mask.data(), out.modulation.data(),
                                 views[0].width, views[0].height, out.unwrapped.data(),
                                 &out.regions, message, sizeof message) != PHAZE_OK)
        return fail(j, j.paths[0], message);
    if (j.rig != NULL) {
        const size_t finest =
            std::min_element(o.periods.begin(), o.periods.end()) - o.periods.begin();
        phaze_internal::make_set_points(*j.rig, j.sets[finest], o.periods[finest], &out);
    }
    frame_set &set = j.sets[0];
    for (size_t k = 1; k < j.sets.size(); k++)
        for (const std::string &w : j.sets[k].warnings)
            if (std::find(set.warnings.begin(), set.warnings.end(), w) == set.warnings.end())
                set.warnings.push_back(w);
}

static void write_job(const run_options &o, job &j) {
    // However the writing ends, the set's memory is free for the sets after it.
    const struct free_at_end {
        job &j;
        ~free_at_end() {
            j.sets.clear(), j.out = set_outputs();
            release_memory(j.admission, &j.reserved);
        }
    } freeing = {j};
    if (j.failure.empty()) {
        std::vector<std::string> written;
        std::string file, reason;
        if (write_set_results(o, j.prefix, j.paths, j.sets[0], j.out, &written, &file, &reason)) {
            fail(j, file, "can't write it: " + reason);
        } else if (!o.quiet) {
            const phaze_report &r = j.out.report;
            char number[64];
            j.said = "phaze: " + j.paths[0] + ": steps";
            for (int k = 0; k < r.frame_count; k++)
                snprintf(number, sizeof number, " %.3f", r.steps[k]), j.said += number;
            snprintf(number, sizeof number, " rad, %.1f%% masked", 100 * r.masked_fraction);
            j.said += number;
            if (j.rig != NULL) j.said += ", " + std::to_string(j.out.points) + " points";
            j.said += " ->";
            for (const std::string &name : written) j.said += " " + name;
            j.said += "\n";
            for (const std::string &w : report_warnings(o, j.sets[0], r))
                j.said += "phaze: " + j.paths[0] + ": warning: " + w + "\n";
        }
    }
}

// A batch overlaps its stages: the next set is read while one is analysed and
// the one before written, so at most three sets are in memory, fewer where the
// memory does not hold three. Lines are printed in the order of the sets.
static size_t run_batch(const run_options &o, const std::vector<std::string> &prefixes,
                        const phaze_internal::calibration *rig, const progress &bar) {
    const size_t sets = prefixes.size(), n = frames_per_result(o);
    memory_admission admission;
    auto make = [&](size_t s) {
        auto j = std::make_unique<job>();
        j->admission = &admission;
        j->rig = rig;
        j->paths.assign(o.frames.begin() + n * s, o.frames.begin() + n * (s + 1));
        j->prefix = prefixes[s];
        return j;
    };
    size_t failed = 0;
    std::unique_ptr<job> writing_job;
    std::future<void> reading, writing;
    std::unique_ptr<job> next = make(0);
    // A stage that throws fails its set, not the process.
    const auto guarded = [](void (*stage)(const run_options &, job &), const run_options &o,
                            job &j) {
        try {
            stage(o, j);
        } catch (const std::bad_alloc &) {
            fail(j, j.paths[0], "not enough memory for this set");
        } catch (const std::exception &e) {
            fail(j, j.paths[0], e.what());
        }
    };
    reading = start_work([&, j = next.get()]() { guarded(read_job, o, *j); });
    auto finish_writing = [&]() {
        if (!writing.valid()) return;
        writing.get();
        bar.clear();
        fputs(
            writing_job->failure.empty() ? writing_job->said.c_str() : writing_job->failure.c_str(),
            stderr);
        failed += !writing_job->failure.empty();
    };
    for (size_t s = 0; s < sets; s++) {
        bar.draw(s);
        // A write that no thread could take runs here, before the read that
        // may wait for the memory it gives back.
        if (writing.valid() &&
            writing.wait_for(std::chrono::seconds(0)) == std::future_status::deferred)
            finish_writing();
        reading.get();
        std::unique_ptr<job> current = std::move(next);
        if (s + 1 < sets) {
            next = make(s + 1);
            reading = start_work([&, j = next.get()]() { guarded(read_job, o, *j); });
        }
        guarded(analyse_job, o, *current);
        finish_writing();
        writing_job = std::move(current);
        writing = start_work([&, j = writing_job.get()]() { guarded(write_job, o, *j); });
    }
    finish_writing();
    return failed;
}

// libgomp's idle workers spin for milliseconds after each parallel region
// before they sleep: in a batch, the milliseconds that the reading and writing
// of the sets around the analysis need (a batch took 15% longer). libgomp reads
// its wait policy when it loads, so a batch starts the command again with the
// policy passive, unless the user chose one.
// (/proc/self/exe is this command only where the kernel started it through its
// interpreter, which AT_BASE then names: not under "ld.so phaze ...".)
static void wait_passively(char **argv) {
    if (getenv("OMP_WAIT_POLICY") != NULL || getenv("GOMP_SPINCOUNT") != NULL ||
        getauxval(AT_BASE) == 0 || setenv("OMP_WAIT_POLICY", "passive", 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    unsetenv("OMP_WAIT_POLICY");  // not started again: go on as we are
}

int main(int argc, char **argv) {
    run_options options;
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
    if (sets > 1) wait_passively(argv);
    reuse_large_memory(sets > 1);
    // Read once, after a batch is started again and before any set: a bad
    // calibration would fail every result alike.
    phaze_internal::calibration rig;
    if (!options.calibration.empty()) {
        std::string reason;
        if (phaze_internal::read_calibration(options.calibration, &rig, &reason) != 0) {
            fprintf(stderr, "phaze: %s\n", reason.c_str());
            return 1;
        }
    }
    if (sets > 1 && !options.output.empty() && mkdir(options.output.c_str(), 0777) != 0 &&
        errno != EEXIST) {
        fprintf(stderr, "phaze: %s: can't make the folder: %s\n", options.output.c_str(),
                strerror(errno));
        return 1;
    }
    const progress bar = {!options.quiet && sets > 1 && isatty(STDERR_FILENO), sets};
    const size_t failed =
        run_batch(options, prefixes, options.calibration.empty() ? NULL : &rig, bar);
    bar.clear();
    if (failed > 0 && sets > 1) fprintf(stderr, "phaze: %zu of %zu sets failed\n", failed, sets);
    return failed > 0 ? 1 : 0;
}
