// The phaze command's arguments: options, frame sets and where their results go.
#pragma once

#include <string>
#include <vector>

#include "shared/run_options.h"

enum { ARGUMENTS_RUN = -1, ARGUMENTS_DONE = 0, ARGUMENTS_BAD = 2 };

// ARGUMENTS_RUN, or the exit status after help, the version or a usage message.
int parse_arguments(int argc, char **argv, run_options *options);

// The prefix of each set's result files, from -o or the sets' first frames.
// ARGUMENTS_RUN, or ARGUMENTS_BAD after a usage message when two sets' results
// would share a name, or a result would replace one of the frames.
int result_prefixes(const run_options &options, std::vector<std::string> *prefixes);

// A usage message on standard error, as every bad-usage path ends.
int usage_error(const std::string &message);
