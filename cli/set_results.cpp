#include "cli/set_results.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "host/format_lf.h"
#include "host/result_files.h"
#include "host/write_results.h"

static image gray_image(const frame_set &set, pixel_format format) {
    image im;
    im.width = set.view.width, im.height = set.view.height, im.channels = 1, im.format = format;
    im.data.resize((size_t)im.width * im.height * pixel_format_bytes(format));
    return im;
}

template <typename From>
static image float_image(const frame_set &set, const From *values) {
    image im = gray_image(set, PIXELS_F32);
    float *to = (float *)im.data.data();
    const long long pixels = (long long)set.view.width * set.view.height;
#pragma omp parallel for schedule(static)
    for (long long i = 0; i < pixels; i++) to[i] = (float)values[i];
    return im;
}

static int write_bytes(const std::string &path, const std::string &head, const void *body,
                       size_t size, std::string *reason) {
    FILE *file = fopen(path.c_str(), "wb");
    int ok = file != NULL && fwrite(head.data(), 1, head.size(), file) == head.size() &&
             fwrite(body, 1, size, file) == size;
    const int error = errno;
    if (file != NULL) ok = fclose(file) == 0 && ok;
    if (!ok) *reason = strerror(error ? error : EIO);
    return !ok;
}

static int write_npy(const std::string &path, const frame_set &set, const set_outputs &out,
                     std::string *reason) {
    std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (" +
                         std::to_string(set.view.height) + ", " + std::to_string(set.view.width) +
                         "), }";
    const size_t unpadded = 10 + header.size() + 1;  // magic, version, length; the line feed
    header += std::string((64 - unpadded % 64) % 64, ' ') + "\n";
    std::string head = std::string("\x93NUMPY\x01\x00", 8);
    head += (char)(header.size() & 0xff);
    head += (char)(header.size() >> 8);
    return write_bytes(path, head + header, out.phase.get(), out.pixels * sizeof(double), reason);
}

static int write_text(const std::string &path, const set_outputs &out, std::string *reason) {
    std::string text;
    text.reserve(out.pixels * 10);
    char line[FORMAT_LF_MAX + 1];
    for (size_t i = 0; i < out.pixels; i++) {
        text.append(line, format_lf(out.phase[i], line));
        text += '\n';
    }
    return write_bytes(path, "", text.data(), text.size(), reason);
}

// ---- the JSON report ----

static std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += '\\', out += (char)c;
        else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += (char)c;
    }
    return out + "\"";
}

static std::string json_number(double value) {
    if (!isfinite(value)) return "null";
    char text[32];
    snprintf(text, sizeof text, "%.9g", value);
    return text;
}

static std::string report_json(const std::string paths[3], const frame_set &set,
                               const phaze_report &r) {
    std::string warnings;
    for (size_t start = 0; r.warnings[start] != '\0';) {
        const char *end = strchr(r.warnings + start, '\n');
        const size_t length = end ? (size_t)(end - r.warnings) - start : strlen(r.warnings + start);
        warnings +=
            (warnings.empty() ? "" : ", ") + json_string(std::string(r.warnings + start, length));
        start += length + (end ? 1 : 0);
    }
    return "{\n"
           "  \"steps\": [" +
           json_number(r.steps[0]) + ", " + json_number(r.steps[1]) + ", " +
           json_number(r.steps[2]) +
           "],\n"
           "  \"phase_offset\": " +
           json_number(r.phase_offset) +
           ",\n"
           "  \"background\": " +
           json_number(r.background) +
           ",\n"
           "  \"modulation\": " +
           json_number(r.modulation) +
           ",\n"
           "  \"masked_fraction\": " +
           json_number(r.masked_fraction) +
           ",\n"
           "  \"residual_rms\": " +
           json_number(r.residual_rms) +
           ",\n"
           "  \"warnings\": [" +
           warnings +
           "],\n"
           "  \"inputs\": [" +
           json_string(paths[0]) + ", " + json_string(paths[1]) + ", " + json_string(paths[2]) +
           "],\n"
           "  \"width\": " +
           std::to_string(set.view.width) +
           ",\n"
           "  \"height\": " +
           std::to_string(set.view.height) +
           ",\n"
           "  \"sample_type\": \"" +
           set.sample_type +
           "\",\n"
           "  \"min_modulation\": " +
           json_number(r.min_modulation) +
           ",\n"
           "  \"saturation\": " +
           json_number(r.saturation) +
           ",\n"
           "  \"device\": \"" +
           (r.device == PHAZE_DEVICE_CUDA ? "cuda" : "cpu") +
           "\",\n"
           "  \"seconds\": " +
           json_number(r.seconds) +
           "\n"
           "}\n";
}

int write_set_results(const command_options &o, const std::string &prefix,
                      const std::string paths[3], const frame_set &set, const set_outputs &out,
                      std::vector<std::string> *written, std::string *file, std::string *reason) {
    struct result {
        bool wanted;
        const char *suffix;
    } results[] = {{o.tiff, "_phase.tiff"}, {o.tiff, "_modulation.tiff"}, {o.png, "_mask.png"},
                   {o.png, "_phase.png"},   {o.json, "_report.json"},     {o.npy, "_phase.npy"},
                   {o.txt, "_phase.txt"}};
    pending_file files[7];
    int count = 0, failed = 0;
    for (int k = 0; k < 7 && !failed; k++) {
        if (!results[k].wanted) continue;
        const std::string name = prefix + results[k].suffix;
        *file = name;
        const int error = begin_result(name.c_str(), &files[count]);
        if (error != 0) {
            *reason = strerror(error);
            failed = 1;
            break;
        }
        const std::string &path = files[count++].temporary;
        switch (k) {
            case 0:
                failed = write_tiff(path.c_str(), float_image(set, out.phase.get()), reason);
                break;
            case 1:
                failed = write_tiff(path.c_str(), float_image(set, out.modulation.get()), reason);
                break;
            case 2:
            case 3: {
                image view = gray_image(set, PIXELS_U8);
#pragma omp parallel for schedule(static)
                for (size_t i = 0; i < out.pixels; i++)
                    view.data[i] = k == 2 ? (out.mask[i] ? 255 : 0) : quantise_phase(out.phase[i]);
                failed = write_png(path.c_str(), view, reason);
                break;
            }
            case 4: {
                const std::string json = report_json(paths, set, out.report);
                failed = write_bytes(path, "", json.data(), json.size(), reason);
                break;
            }
            case 5: failed = write_npy(path, set, out, reason); break;
            case 6: failed = write_text(path, out, reason); break;
        }
    }
    if (failed) {
        abandon_results(files, count);
        return 1;
    }
    const char *failed_name = NULL;
    const int error = commit_results(files, count, &failed_name);
    if (error != 0) {
        *file = failed_name;
        *reason = strerror(error);
        return 1;
    }
    for (int k = 0; k < count; k++) written->push_back(files[k].final_name);
    return 0;
}
