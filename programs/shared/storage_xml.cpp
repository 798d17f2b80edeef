// OpenCV's XML documents read by tinyxml2, whose parser refuses elements
// nested deeper than 100; its tree is walked into the document's own.
#include <string.h>
#include <tinyxml2.h>

#include <algorithm>

#include "shared/storage_document.h"

namespace phaze_internal {

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;
using tinyxml2::XMLText;

static int refuse(std::string *reason, const std::string &text) {
    *reason = text;
    return 1;
}

static const char *xml_problem(tinyxml2::XMLError error) {
    switch (error) {
        case tinyxml2::XML_ERROR_PARSING_ELEMENT: return "an element it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_ATTRIBUTE: return "an attribute it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_TEXT: return "text it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_CDATA: return "a CDATA section it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_COMMENT: return "a comment it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_DECLARATION: return "a declaration it cannot parse";
        case tinyxml2::XML_ERROR_PARSING_UNKNOWN: return "a <! section it cannot parse";
        case tinyxml2::XML_ERROR_EMPTY_DOCUMENT: return "no element";
        case tinyxml2::XML_ERROR_MISMATCHED_ELEMENT: return "an element closed by another's tag";
        case tinyxml2::XML_ELEMENT_DEPTH_EXCEEDED: return "elements nested deeper than 100";
        default: return "something it cannot parse";
    }
}

struct pending_element {
    const XMLElement *element;
    int node, depth;
};

// An element holds elements (a map, or a list where each is named "_", as
// OpenCV writes lists of lists) or text: one value, or a list of them
// separated by blanks. False where the document is full.
static bool fill_node(const pending_element &at, storage_document *document,
                      std::vector<pending_element> *pending) {
    bool has_elements = false, all_unnamed = true;
    std::string text;
    for (const XMLNode *child = at.element->FirstChild(); child; child = child->NextSibling()) {
        if (const XMLElement *element = child->ToElement()) {
            has_elements = true;
            all_unnamed = all_unnamed && strcmp(element->Name(), "_") == 0;
        } else if (const XMLText *part = child->ToText()) {
            (text += ' ') += part->Value();
        }
    }
    std::vector<storage_node> &nodes = document->nodes;
    const char *const blanks = " \t\r\n";
    if (has_elements && text.find_first_not_of(blanks) != std::string::npos) {
        nodes[at.node].kind = STORAGE_OTHER;
        return true;
    }
    if (has_elements) {
        const storage_kind kind = all_unnamed ? STORAGE_LIST : STORAGE_MAP;
        nodes[at.node].kind = kind;
        for (const XMLElement *e = at.element->FirstChildElement(); e; e = e->NextSiblingElement()) {
            const int child = add_storage_node(document, at.node, STORAGE_OTHER);
            if (child < 0) return false;
            if (kind == STORAGE_MAP) nodes[child].key = e->Name();
            pending->push_back({e, child, at.depth + 1});
        }
        return true;
    }
    // One word is the element's value; more are a list of them.
    const size_t first = text.find_first_not_of(blanks);
    const size_t first_end = std::min(text.find_first_of(blanks, first), text.size());
    if (text.find_first_not_of(blanks, first_end) == std::string::npos) {
        storage_node &node = nodes[at.node];
        node.kind = STORAGE_SCALAR;
        node.may_be_number = true;
        if (first != std::string::npos) node.text = text.substr(first, first_end - first);
        return true;
    }
    nodes[at.node].kind = STORAGE_LIST;
    for (size_t begin = first, end; begin != std::string::npos;
         begin = text.find_first_not_of(blanks, end)) {
        end = std::min(text.find_first_of(blanks, begin), text.size());
        const int scalar = add_storage_node(document, at.node, STORAGE_SCALAR);
        if (scalar < 0) return false;
        nodes[scalar].may_be_number = true;
        nodes[scalar].text = text.substr(begin, end - begin);
    }
    return true;
}

int read_xml_storage(const std::string &text, storage_document *document, std::string *reason) {
    document->nodes.clear();
    tinyxml2::XMLDocument xml;
    if (xml.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
        return refuse(reason, std::string("is not valid XML: ") + xml_problem(xml.ErrorID()) +
                                  " (line " + std::to_string(xml.ErrorLineNum()) + ")");
    const XMLElement *root = xml.RootElement();
    if (root == nullptr || strcmp(root->Name(), "opencv_storage") != 0)
        return refuse(reason, std::string("is not an OpenCV FileStorage XML file: its root "
                                          "element is ") +
                                  (root ? root->Name() : "missing") + ", not opencv_storage");
    if (root->NextSiblingElement() != nullptr)
        return refuse(reason, "has an element after opencv_storage: not a calibration file");
    std::vector<pending_element> pending = {{root, add_storage_node(document, -1, STORAGE_MAP), 0}};
    while (!pending.empty()) {
        const pending_element at = pending.back();
        pending.pop_back();
        if (at.depth > MAX_STORAGE_DEPTH)
            return refuse(reason, "nests elements deeper than " +
                                      std::to_string(MAX_STORAGE_DEPTH) +
                                      " levels: not a calibration file");
        if (!fill_node(at, document, &pending)) return refuse(reason, too_many_nodes_text());
    }
    return 0;
}

}  // namespace phaze_internal
