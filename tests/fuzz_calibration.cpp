// libFuzzer target over the calibration reader: whatever the bytes, it returns
// a rig of finite numbers or a reason, never a crash or a leak. Each input is
// read as one file, and split in two (where its first byte says) as the
// stereo pair.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "shared/calibration.h"

using namespace phaze_internal;

static char paths[2][64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (int k = 0; k < 2; k++)
        snprintf(paths[k], sizeof paths[k], "/tmp/phaze-fuzz-calibration-%d-%d", (int)getpid(), k);
    return 0;
}

static void write_bytes(const char *path, const uint8_t *data, size_t size) {
    FILE *file = fopen(path, "wb");
    if (file == NULL) abort();
    fwrite(data, 1, size, file);
    fclose(file);
}

static void read_files(const std::vector<std::string> &names) {
    calibration rig;
    std::string reason;
    if (read_calibration(names, &rig, &reason) != 0) {
        if (reason.empty()) abort();  // a refusal without a word
        return;
    }
    const double *values = rig.camera.K;
    for (size_t k = 0; k < sizeof rig / sizeof(double); k++)
        if (!isfinite(values[k])) abort();
    if (!(rig.camera.K[0] > 0 && rig.projector.K[4] > 0)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_bytes(paths[0], data, size);
    read_files({paths[0]});
    if (size > 2) {
        const size_t split = 1 + (size_t)data[0] * (size - 1) / 256;
        write_bytes(paths[0], data + 1, split - 1);
        write_bytes(paths[1], data + split, size - split);
        read_files({paths[0], paths[1]});
    }
    return 0;
}
