// One set's result files, written the safe way: every file to a temporary
// beside it, all renamed into place together, or none.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "shared/run_options.h"
#include "shared/set_reading.h"
#include "shared/large_memory.h"
#include "phaze/phaze.h"

// Made without zeroing: the library writes every value, on all threads.
struct set_outputs {
    size_t pixels = 0;
    large_array<double> phase;
    large_array<float> modulation;
    large_array<unsigned char> mask;
    large_array<double> unwrapped;  // with --unwrap
    int regions = 0;
    // With a calibration: three doubles a pixel (NaN where no point), each
    // pixel's gray, and how many points there are.
    large_array<double> xyz;
    large_array<unsigned char> gray;
    long long points = 0;
    phaze_report report;
};

// The names of the files written, in *written. 0, or 1 with the file at
// fault in *file and why in *reason; no result of the set is then left.
int write_set_results(const run_options &options, const std::string &prefix,
                      const std::vector<std::string> &paths, const frame_set &set,
                      const set_outputs &out, std::vector<std::string> *written, std::string *file,
                      std::string *reason);

// The set's warnings as sentences: the reading's, then the library's.
std::vector<std::string> report_warnings(const run_options &options, const frame_set &set,
                                         const phaze_report &report);
