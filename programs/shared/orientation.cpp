#include "shared/orientation.h"

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>
#include <string.h>

int exif_orientation(const unsigned char *app1, size_t size) {
    if (size < 6 || memcmp(app1, "Exif\0\0", 6) != 0 || size > 0xffff) return 1;
    ExifData *data = exif_data_new();
    if (data == NULL) return 1;
    // Read as it is: the fix-ups would add tags we do not ask for.
    exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_load_data(data, app1, (unsigned int)size);
    int orientation = 1;
    ExifEntry *entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (entry != NULL && entry->format == EXIF_FORMAT_SHORT && entry->components >= 1 &&
        entry->data != NULL && entry->size >= 2) {
        const int value = exif_get_short(entry->data, exif_data_get_byte_order(data));
        if (value >= 1 && value <= 8) orientation = value;
    }
    exif_data_unref(data);
    return orientation;
}

void turn_upright(const unsigned char *from, int width, int height, size_t pixel_bytes,
                  int orientation, unsigned char *to) {
    const size_t w = (size_t)width, h = (size_t)height;
    const size_t shown_width = orientation_turns(orientation) ? h : w;
    for (size_t y = 0; y < h; y++)
        for (size_t x = 0; x < w; x++) {
            // Where stored pixel (x, y) is shown, by the tag's eight cases.
            size_t sx = x, sy = y;
            switch (orientation) {
                case 2: sx = w - 1 - x; break;
                case 3: sx = w - 1 - x, sy = h - 1 - y; break;
                case 4: sy = h - 1 - y; break;
                case 5: sx = y, sy = x; break;
                case 6: sx = h - 1 - y, sy = x; break;
                case 7: sx = h - 1 - y, sy = w - 1 - x; break;
                case 8: sx = y, sy = w - 1 - x; break;
                default: break;
            }
            memcpy(to + (sy * shown_width + sx) * pixel_bytes, from + (y * w + x) * pixel_bytes,
                   pixel_bytes);
        }
}
