// The phaze command's arguments: options, frame sets and where their results go.
#pragma once

#include <string>
#include <vector>

#include "phaze/phaze.h"

enum colour_channel { CHANNEL_LUMA, CHANNEL_RED, CHANNEL_GREEN, CHANNEL_BLUE };

struct command_options {
    std::vector<std::string> frames;  // frames_per_set a set
    int frames_per_set = 3;
    std::vector<double> periods;  // --periods: sets a result, one at each period
    bool unwrap = false;
    std::string output;  // a prefix (one set) or a folder (several); empty: default
    bool tiff = true, png = true, json = true, npy = false, txt = false;
    double min_modulation = -1, saturation = -1;  // below 0: the library's defaults
    colour_channel channel = CHANNEL_LUMA;
    phaze_device device = PHAZE_DEVICE_AUTO;
    phaze_harmonics harmonics = PHAZE_HARMONICS_DEFAULT;
    std::vector<double> steps;  // --steps, in radians; empty: estimated
    bool quiet = false;
};

enum { ARGUMENTS_RUN = -1, ARGUMENTS_DONE = 0, ARGUMENTS_BAD = 2 };

// Frames that make one result: a set, or a set at each period.
inline size_t frames_per_result(const command_options &o) {
    return (size_t)o.frames_per_set * (o.periods.empty() ? 1 : o.periods.size());
}

// The result files of a prefix P are P + these, in the order they are written.
enum { RESULT_KINDS = 8 };
extern const char *const RESULT_SUFFIXES[RESULT_KINDS];
bool result_wanted(const command_options &o, int kind);

// ARGUMENTS_RUN, or the exit status after help, the version or a usage message.
int parse_arguments(int argc, char **argv, command_options *options);

// The prefix of each set's result files, from -o or the sets' first frames.
// ARGUMENTS_RUN, or ARGUMENTS_BAD after a usage message when two sets' results
// would share a name, or a result would replace one of the frames.
int result_prefixes(const command_options &options, std::vector<std::string> *prefixes);

// A usage message on standard error, as every bad-usage path ends.
int usage_error(const std::string &message);
