/* Three frames with steps 0, 1.7 and 3.5 rad through the installed library:
 * the steps it finds are printed, and its version is the header's. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <phaze/phaze.h>

enum { W = 64, H = 48 };

int main(void) {
    static unsigned short frames[3][W * H];
    static double phase[W * H];
    const double steps[3] = {0, 1.7, 3.5};
    for (int k = 0; k < 3; k++)
        for (int i = 0; i < W * H; i++)
            frames[k][i] =
                (unsigned short)(30000 + 20000 * cos(0.3 * (i % W) + 0.1 * (i / W) + steps[k]));
    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", PHAZE_VERSION_MAJOR, PHAZE_VERSION_MINOR,
             PHAZE_VERSION_PATCH);
    if (strcmp(version, phaze_version()) != 0 || strcmp(version, PHAZE_VERSION) != 0) {
        fprintf(stderr, "consumer: header %s, library %s\n", version, phaze_version());
        return 1;
    }
    const void *pointers[3] = {frames[0], frames[1], frames[2]};
    const phaze_frames f = {pointers, 3, PHAZE_UINT16, W, H, 0};
    phaze_report report;
    char message[256];
    if (phaze_analyse(&f, NULL, phase, NULL, NULL, &report, message, sizeof message) != PHAZE_OK) {
        fprintf(stderr, "consumer: %s\n", message);
        return 1;
    }
    printf("phaze %s: steps %.3f %.3f %.3f\n", phaze_version(), report.steps[0], report.steps[1],
           report.steps[2]);
    return fabs(report.steps[1] - (2 * M_PI - 1.7)) < 0.01 ? 0 : 1;
}
