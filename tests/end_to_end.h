// The fixture of the end-to-end suites: frames made in a scratch folder, and
// phaze-cpu (or phaze-faulty, the driver over the fake runtime) run there.
#pragma once

#include "tests/test_support.h"

static const double PI = 3.141592653589793;

// Largest distance of phase from sign * truth + c (c the circular mean offset),
// over the pixels keep marks (all when keep is empty).
double spread_around(const std::vector<double> &phase, const std::vector<double> &truth,
                     double sign, const std::vector<char> &keep = {});

// Largest distance from the classical equal-step value of each pixel's samples.
double distance_from_classical(const std::vector<double> &phase,
                               const std::vector<unsigned char> frames[3]);

class EndToEnd : public InScratchFolder {
  protected:
    std::vector<double> make(const fringe_options &options);
    void make_from_samples(int W, int H, const std::vector<unsigned char> frames[3]);
    run_result run_phaze(const std::string &environment = "");
    std::vector<double> run_and_read(size_t pixels);
    std::string results();  // both result files, to see that a run left them alone
};
