// One key press from the console, without echo.
#pragma once

// Flushes standard output, then waits for one key on a terminal, or takes one
// byte from a pipe or file; at the end of the input it returns at once.
void wait_key(void);
