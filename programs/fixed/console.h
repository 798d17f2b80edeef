// One key press from the console, without echo.
#pragma once

// Flushes standard output, then waits for one key on a terminal (all the bytes
// the terminal sends for it: an arrow key is one key), or takes one byte from a
// pipe or file; at the end of the input, or when it cannot be read, it returns at once.
void wait_key(void);
