#include <stdio.h>

#include "host/console.h"
#include "tests/fake_console.h"

int key_waits = 0;

void wait_key(void) {
    fflush(stdout);
    key_waits++;
}
