#include "shared/storage_document.h"

#include <ctype.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace phaze_internal {

int add_storage_node(storage_document *document, int parent, storage_kind kind) {
    std::vector<storage_node> &nodes = document->nodes;
    const int index = (int)nodes.size();
    if (index >= MAX_STORAGE_NODES) return -1;
    nodes.emplace_back();
    nodes[index].kind = kind;
    if (parent >= 0) {
        storage_node &up = nodes[parent];
        if (up.last_child >= 0)
            nodes[up.last_child].next_sibling = index;
        else
            up.first_child = index;
        up.last_child = index;
        up.children++;
    }
    return index;
}

std::string too_many_nodes_text() {
    return "holds more than " + std::to_string(MAX_STORAGE_NODES) +
           " values, lists and maps: not a calibration file";
}

int storage_child(const storage_document &document, int node, const char *key, bool *repeated) {
    int found = -1, count = 0;
    for (int c = document.nodes[node].first_child; c >= 0; c = document.nodes[c].next_sibling)
        if (document.nodes[c].key == key && count++ == 0) found = c;
    if (repeated != nullptr) *repeated = count > 1;
    return found;
}

// The decimal point is '.' whatever locale the process (a Python program, say) has set.
static locale_t c_locale() {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return c;
}

bool storage_number(const storage_node &node, double *value) {
    if (node.kind != STORAGE_SCALAR || !node.may_be_number) return false;
    const char *text = node.text.c_str();
    const bool sign = text[0] == '-' || text[0] == '+';
    const char *unsigned_text = text + sign;
    for (const char *infinity : {".inf", ".Inf", ".INF"})
        if (strcmp(unsigned_text, infinity) == 0) {
            *value = text[0] == '-' ? -INFINITY : INFINITY;
            return true;
        }
    for (const char *nan : {".nan", ".NaN", ".NAN", ".Nan"})
        if (!sign && strcmp(text, nan) == 0) {
            *value = NAN;
            return true;
        }
    // strtod alone would take leading blanks, "nan" and "inf" as numbers.
    const unsigned char first = unsigned_text[0], second = first ? unsigned_text[1] : 0;
    if (!isdigit(first) && !(first == '.' && isdigit(second))) return false;
    char *end = nullptr;
    *value = c_locale() ? strtod_l(text, &end, c_locale()) : strtod(text, &end);
    return end == text + node.text.size();
}

}  // namespace phaze_internal
