// compare_results: the result files of two runs side by side. Text values may
// differ by at most MAX_TEXT_DIFFERENCE, at most MAX_PICTURE_SHARE of the picture
// bytes may differ, and those by one level at most (the flavours' math libraries
// differ in the last bits, so a phase can land across a bin's edge).
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "shared/frameset.h"

static const double MAX_TEXT_DIFFERENCE = 2e-6, MAX_PICTURE_SHARE = 1e-4;

static std::vector<double> read_values(const std::string &path) {
    std::vector<double> values;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) return values;
    double value;
    while (fscanf(file, "%lf", &value) == 1) values.push_back(value);
    fclose(file);
    return values;
}

// A text of the phaze command: the same values within the limit, NaN (masked) in the same pixels.
static int compare_text_alone(const std::vector<double> &ta, const std::vector<double> &tb) {
    if (ta.empty() || ta.size() != tb.size()) {
        printf("compare: the text files differ in length or are missing\n");
        return 1;
    }
    double worst = 0;
    size_t masked_differently = 0;
    for (size_t i = 0; i < ta.size(); i++) {
        if (isnan(ta[i]) != isnan(tb[i]))
            masked_differently++;
        else if (!isnan(ta[i]))
            worst = fmax(worst, fabs(ta[i] - tb[i]));
    }
    printf("compare: %zu values, largest difference %.3g (limit %.0e), %zu masked in one only\n",
           ta.size(), worst, MAX_TEXT_DIFFERENCE, masked_differently);
    return worst <= MAX_TEXT_DIFFERENCE && masked_differently <= ta.size() / 10000 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr,
                "usage: compare_results FOLDER_A FOLDER_B [TEXT_NAME]\n"
                "(with TEXT_NAME: that text file alone, NaN where either is NaN)\n");
        return 2;
    }
    const std::string a = argv[1], b = argv[2];
    const std::string text_name = argc == 4 ? argv[3] : "phaze_cuda.txt";
    const std::vector<double> ta = read_values(a + "/" + text_name),
                              tb = read_values(b + "/" + text_name);
    if (argc == 4) return compare_text_alone(ta, tb);
    const std::string pa = read_whole_file((a + "/phaze_cuda.bmp").c_str()),
                      pb = read_whole_file((b + "/phaze_cuda.bmp").c_str());
    if (ta.empty() || ta.size() != tb.size() || pa.size() != pb.size() || pa.size() < 56) {
        printf("compare: the result files differ in size or are missing\n");
        return 1;
    }
    double worst = 0;
    size_t not_finite = 0;
    for (size_t i = 0; i < ta.size(); i++) {
        if (!isfinite(ta[i]) || !isfinite(tb[i]))
            not_finite++;
        else
            worst = fmax(worst, fabs(ta[i] - tb[i]));
    }
    size_t differing = 0;
    int largest_step = 0;
    for (size_t k = 56; k < pa.size(); k++) {
        const int step = abs((unsigned char)pa[k] - (unsigned char)pb[k]);
        differing += step != 0;
        if (step > largest_step) largest_step = step;
    }
    const double share = (double)differing / (double)(pa.size() - 56);
    const bool headers_equal = pa.compare(0, 56, pb, 0, 56) == 0;
    printf("compare: %zu values, largest text difference %.3g (limit %.0e), %zu not finite\n",
           ta.size(), worst, MAX_TEXT_DIFFERENCE, not_finite);
    printf(
        "compare: %.5f%% of picture bytes differ (limit %.2f%%), by %d level(s) at most; headers "
        "%s\n",
        100 * share, 100 * MAX_PICTURE_SHARE, largest_step, headers_equal ? "equal" : "DIFFER");
    const bool ok = worst <= MAX_TEXT_DIFFERENCE && not_finite == 0 && share <= MAX_PICTURE_SHARE &&
                    largest_step <= 1 && headers_equal;
    printf("compare: %s\n", ok ? "the flavours agree" : "THE FLAVOURS DISAGREE");
    return ok ? 0 : 1;
}
