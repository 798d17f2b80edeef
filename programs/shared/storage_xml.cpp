// OpenCV's XML documents read by tinyxml2, whose parser refuses elements
// nested deeper than 100; its tree is walked into the document's own.
#include <string.h>
#include <tinyxml2.h>

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

static bool is_blank(const char *text) { return text[strspn(text, " \t\r\n")] == '\0'; }

struct pending_element {
    const XMLElement *element;
    int node, depth;
};

// An element holds elements (a map, or a list where each is named "_", as
// OpenCV writes lists of lists) or text: one value, or a list of them
// separated by blanks.
static void fill_node(const pending_element &at, storage_document *document,
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
    if (has_elements && !is_blank(text.c_str())) {
        nodes[at.node].kind = STORAGE_OTHER;
        return;
    }
    if (has_elements) {
        const storage_kind kind = all_unnamed ? STORAGE_LIST : STORAGE_MAP;
        nodes[at.node].kind = kind;
        for (const XMLElement *e = at.element->FirstChildElement(); e; e = e->NextSiblingElement()) {
            const int child = add_storage_node(document, at.node, STORAGE_OTHER);
            if (kind == STORAGE_MAP) nodes[child].key = e->Name();
            pending->push_back({e, child, at.depth + 1});
        }
        return;
    }
    std::vector<std::string> words;
    const char *const blanks = " \t\r\n";
    for (size_t begin = text.find_first_not_of(blanks); begin != std::string::npos;) {
        const size_t end = std::min(text.find_first_of(blanks, begin), text.size());
        words.push_back(text.substr(begin, end - begin));
        begin = text.find_first_not_of(blanks, end);
    }
    if (words.size() <= 1) {
        nodes[at.node].kind = STORAGE_SCALAR;
        nodes[at.node].may_be_number = true;
        if (!words.empty()) nodes[at.node].text.swap(words[0]);
        return;
    }
    nodes[at.node].kind = STORAGE_LIST;
    for (std::string &word : words) {
        const int scalar = add_storage_node(document, at.node, STORAGE_SCALAR);
        nodes[scalar].may_be_number = true;
        nodes[scalar].text.swap(word);
    }
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
        fill_node(at, document, &pending);
    }
    return 0;
}

}  // namespace phaze_internal
