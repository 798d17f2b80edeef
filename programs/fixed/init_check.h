// The frame size from config.txt and the check of every device.
#pragma once

// Writes the width, then the height. 0: the run may go on; 1: it must not (the
// message has been printed).
int init_check(int *width, int *height);
