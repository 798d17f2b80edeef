// How many more bytes this process can allocate: the least of the machine's
// available memory and what its address-space and data limits leave.
#pragma once

double available_memory_bytes(void);
