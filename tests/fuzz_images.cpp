// libFuzzer target over the image readers of the phaze command: whatever the
// bytes, a reader returns an image or a reason, never a crash or a leak. Each
// input is read cut short as well, as a file that was not all copied would be.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "shared/image.h"

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    snprintf(path, sizeof path, "/tmp/phaze-fuzz-image-%d", (int)getpid());
    return 0;
}

static void read_part(const uint8_t *data, size_t size) {
    FILE *file = fopen(path, "wb");
    if (file == NULL) abort();
    fwrite(data, 1, size, file);
    fclose(file);
    image im;
    std::string reason;
    if (read_image(path, 1 << 20, &im, &reason) != 0
            ? reason.empty()
            : im.data.size() !=
                  (size_t)im.width * im.height * im.channels * pixel_format_bytes(im.format))
        abort();  // a refusal without a word, or samples that do not fill the image
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    read_part(data, size);
    if (size > 1) read_part(data, size - 1);
    if (size > 16) read_part(data, size / 2);
    return 0;
}
