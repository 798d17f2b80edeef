#include "shared/report_sentences.h"

#include <stdio.h>

namespace phaze_internal {

static std::string sentence(const phaze_report &report, unsigned bit) {
    std::string text(phaze_describe_warning(&report, bit, NULL, 0), '\0');
    phaze_describe_warning(&report, bit, &text[0], text.size());
    text.pop_back();  // the terminating zero
    return text;
}

std::vector<std::string> report_sentences(const phaze_report &r,
                                          const std::vector<double> &periods) {
    std::vector<std::string> all;
    for (unsigned bit = 1; bit != 0; bit <<= 1)
        if (r.warnings & bit) all.push_back(sentence(r, bit));
    if (periods.size() < 2 || r.set_count != (int)periods.size()) return all;
    size_t finest = 0;
    for (size_t k = 1; k < periods.size(); k++)
        if (periods[k] < periods[finest]) finest = k;
    for (size_t k = 0; k < periods.size(); k++) {
        if (k == finest) continue;
        for (unsigned bit = 1; bit != 0; bit <<= 1)
            if (r.set_warnings[k] & bit) {
                char name[64];
                snprintf(name, sizeof name, "set %zu (period %g): ", k + 1, periods[k]);
                all.push_back(name + std::string(phaze_warning_text(bit)));
            }
    }
    return all;
}

}  // namespace phaze_internal
