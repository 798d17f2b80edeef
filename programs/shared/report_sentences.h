// A report's warnings as the sentences the command and the Python module give:
// each with its numbers, and with several periods each set's own warnings,
// naming the set.
#pragma once

#include <string>
#include <vector>

#include "phaze/phaze.h"

namespace phaze_internal {

// The report's warnings, then those of each set of several (periods: the sets'
// in the order given, empty for one set) that are not the finest set's,
// as "set 3 (period 512): sentence".
std::vector<std::string> report_sentences(const phaze_report &report,
                                          const std::vector<double> &periods);

}  // namespace phaze_internal
