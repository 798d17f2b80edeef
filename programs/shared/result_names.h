// The names of a result's files, and the check that none of them would
// replace a frame it is made from.
#pragma once

#include <string>
#include <vector>

#include "shared/run_options.h"

// The result files of a prefix P are P + these, in the order they are written.
enum { RESULT_KINDS = 11 };
extern const char *const RESULT_SUFFIXES[RESULT_KINDS];
bool result_wanted(const run_options &o, int kind);

// "" where no result of the prefixes would replace one of the frames, else
// "the result R would replace the frame F" (the same file spelled two ways or
// reached through a link included).
std::string result_replacing_frame(const run_options &o, const std::vector<std::string> &prefixes,
                                   const std::vector<std::string> &frames);
