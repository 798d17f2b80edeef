#include <stdio.h>

#include "fixed/console.h"
#include "tests/doubles/fake_console.h"

int key_waits = 0;

void wait_key(void) {
    fflush(stdout);
    key_waits++;
}

// The start-up check in process asks the run's engine what a pixel needs: here
// the stage engine's, over host memory.
double run_host_bytes_per_pixel(void) { return 4 * 8 + 2 + 4 * 8; }
