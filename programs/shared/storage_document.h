// OpenCV FileStorage documents (YAML or XML) as a plain tree of keys, lists
// and scalars. libyaml's events and tinyxml2's elements are walked into it;
// the calibration reader asks it for its entries.
#pragma once

#include <string>
#include <vector>

namespace phaze_internal {

enum storage_kind { STORAGE_SCALAR, STORAGE_LIST, STORAGE_MAP, STORAGE_OTHER };

struct storage_node {
    storage_kind kind = STORAGE_OTHER;
    bool may_be_number = false;  // a scalar not quoted as a string
    std::string key;             // under a map
    std::string text;            // a scalar's
    int first_child = -1, last_child = -1, next_sibling = -1, children = 0;
};

// nodes[0] is the root; a document without one (an empty stream) has no nodes.
struct storage_document {
    std::vector<storage_node> nodes;
};

// No calibration nests deeper than 3 (the top map, a matrix, its data); this
// bounds the walk, and with it the stacks, whatever a file holds.
const int MAX_STORAGE_DEPTH = 16;

// Nor does any hold near this many values, lists and maps; it bounds the
// tree (about 6 MB) whatever a file of 1 MiB holds.
const int MAX_STORAGE_NODES = 1 << 16;

// The node appended under parent (-1: the root); its index, or -1 where the
// document holds MAX_STORAGE_NODES already.
int add_storage_node(storage_document *document, int parent, storage_kind kind);
std::string too_many_nodes_text();

// The child of node under key, or -1. *repeated tells whether the key
// appears more than once.
int storage_child(const storage_document &document, int node, const char *key,
                  bool *repeated = nullptr);

// A scalar's number, as OpenCV writes numbers: C's decimal or hex form and
// YAML's .nan, .inf and -.inf. Words ("nan", "two") are not numbers.
bool storage_number(const storage_node &node, double *value);

// The text of a YAML document in OpenCV's dialect; its first line, OpenCV's
// "%YAML:1.0", is not YAML and is left out. 0, or 1 with *reason.
int read_yaml_storage(const std::string &text, storage_document *document, std::string *reason);

// The text of an XML document whose root element is opencv_storage. 0, or 1
// with *reason.
int read_xml_storage(const std::string &text, storage_document *document, std::string *reason);

}  // namespace phaze_internal
