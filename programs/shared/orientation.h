// Frames turned upright as their files say they are to be shown: a camera
// that was held on its side stores its rows as the sensor read them and says
// so in the EXIF orientation tag (libexif reads it).
#pragma once

#include <stddef.h>

// The orientation of an APP1 segment's EXIF data ("Exif\0\0" and a TIFF
// structure): 1 (as stored) to 8. 1 where there is no tag, or a tag that
// holds none of these.
int exif_orientation(const unsigned char *app1, size_t size);

// Whether the rows of a picture of that orientation become its columns.
inline bool orientation_turns(int orientation) { return orientation >= 5 && orientation <= 8; }

// The stored width x height pixels (pixel_bytes each, rows without padding)
// as they are shown, into to: width x height pixels, or height x width where
// orientation_turns.
void turn_upright(const unsigned char *from, int width, int height, size_t pixel_bytes,
                  int orientation, unsigned char *to);
