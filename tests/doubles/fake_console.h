// A console for in-process tests: counts the key waits instead of reading keys.
#pragma once

extern int key_waits;
