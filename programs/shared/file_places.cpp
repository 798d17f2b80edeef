#include "shared/file_places.h"

#include <limits.h>
#include <stdlib.h>

#include <map>

// A batch names its folders over and over: each is resolved once.
static std::string place_in(const std::string &path, std::map<std::string, std::string> *folders) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    auto known = folders->find(folder);
    if (known == folders->end()) {
        char *real = realpath(folder.c_str(), NULL);
        std::string resolved = real != NULL ? real : "";
        free(real);
        if (!resolved.empty() && resolved.back() != '/') resolved += '/';
        known = folders->emplace(folder, resolved).first;
    }
    return known->second.empty() ? path : known->second + path.substr(slash + 1);
}

std::string name_place(const std::string &path) {
    std::map<std::string, std::string> folders;
    return place_in(path, &folders);
}

int replaced_input(const std::vector<std::string> &results, const std::vector<std::string> &inputs,
                   int *result) {
    std::map<std::string, std::string> folders;
    std::map<std::string, int> places;
    for (size_t r = 0; r < results.size(); r++) places.emplace(place_in(results[r], &folders), r);
    for (size_t i = 0; i < inputs.size(); i++) {
        auto hit = places.find(place_in(inputs[i], &folders));
        if (hit == places.end()) {
            char *target = realpath(inputs[i].c_str(), NULL);  // the file itself, past links
            if (target != NULL) hit = places.find(target);
            free(target);
        }
        if (hit != places.end()) {
            *result = hit->second;
            return (int)i;
        }
    }
    return -1;
}
