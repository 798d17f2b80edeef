// OpenCV's YAML documents read by libyaml, the reference parser: its event
// stream is walked into the document's tree without recursion.
#include <yaml.h>

#include "shared/storage_document.h"

namespace phaze_internal {

static int refuse(std::string *reason, const std::string &text) {
    *reason = text;
    return 1;
}

static std::string parser_problem(const yaml_parser_t &parser) {
    if (parser.error == YAML_MEMORY_ERROR) return "not enough memory to read it";
    std::string text = "is not valid YAML: ";
    if (parser.context != nullptr) text += std::string(parser.context) + ", ";
    text += parser.problem != nullptr ? parser.problem : "its parser failed";
    if (parser.error == YAML_READER_ERROR)
        return text + " (byte " + std::to_string(parser.problem_offset + 1) + ")";
    return text + " (line " + std::to_string(parser.problem_mark.line + 1) + ", column " +
           std::to_string(parser.problem_mark.column + 1) + ")";
}

// The parser and its current event, released however the walk ends.
struct yaml_reading {
    yaml_parser_t parser;
    yaml_event_t event;
    bool ready = false, has_event = false;
    yaml_reading() { ready = yaml_parser_initialize(&parser) != 0; }
    ~yaml_reading() {
        if (has_event) yaml_event_delete(&event);
        if (ready) yaml_parser_delete(&parser);
    }
    bool next() {
        if (has_event) yaml_event_delete(&event);
        has_event = yaml_parser_parse(&parser, &event) != 0;
        return has_event;
    }
};

// A list or a map being filled; a map's events alternate key and value.
struct open_collection {
    int node;
    bool map, want_key;
    std::string key;
};

int read_yaml_storage(const std::string &text, storage_document *document, std::string *reason) {
    // "%YAML:1.0" is no YAML directive, and libyaml takes only versions 1.1
    // and 1.2: the line is left out, its newline kept for the line numbers.
    const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const size_t body = text.compare(start, 5, "%YAML") == 0 ? text.find('\n') : 0;
    const std::string yaml = body == std::string::npos ? std::string() : text.substr(body);

    document->nodes.clear();
    yaml_reading reading;
    if (!reading.ready) return refuse(reason, "not enough memory to read it");
    yaml_parser_set_input_string(&reading.parser, (const unsigned char *)yaml.data(), yaml.size());
    yaml_parser_set_encoding(&reading.parser, YAML_UTF8_ENCODING);
    std::vector<open_collection> open;
    int documents = 0;
    for (;;) {
        if (!reading.next()) return refuse(reason, parser_problem(reading.parser));
        const yaml_event_t &event = reading.event;
        if (event.type == YAML_STREAM_END_EVENT) return 0;
        if (event.type == YAML_DOCUMENT_START_EVENT && ++documents > 1)
            return refuse(reason, "holds more than one YAML document: not a calibration file");
        if (event.type == YAML_SEQUENCE_END_EVENT || event.type == YAML_MAPPING_END_EVENT) {
            open.pop_back();
            continue;
        }
        storage_kind kind;
        switch (event.type) {
            case YAML_SCALAR_EVENT: kind = STORAGE_SCALAR; break;
            case YAML_SEQUENCE_START_EVENT: kind = STORAGE_LIST; break;
            case YAML_MAPPING_START_EVENT: kind = STORAGE_MAP; break;
            // OpenCV takes no aliases; one is no entry, and never expanded.
            case YAML_ALIAS_EVENT: kind = STORAGE_OTHER; break;
            default: continue;
        }
        if (!open.empty() && open.back().want_key) {
            if (kind != STORAGE_SCALAR)
                return refuse(reason, "has a key that is not a name (line " +
                                          std::to_string(event.start_mark.line + 1) + ")");
            open.back().key.assign((const char *)event.data.scalar.value,
                                   event.data.scalar.length);
            open.back().want_key = false;
            continue;
        }
        const int index = add_storage_node(document, open.empty() ? -1 : open.back().node, kind);
        if (index < 0) return refuse(reason, too_many_nodes_text());
        storage_node &node = document->nodes[index];
        if (!open.empty() && open.back().map) {
            node.key.swap(open.back().key);
            open.back().want_key = true;
        }
        if (kind == STORAGE_SCALAR) {
            node.text.assign((const char *)event.data.scalar.value, event.data.scalar.length);
            node.may_be_number = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE;
        }
        if (kind == STORAGE_LIST || kind == STORAGE_MAP) {
            if ((int)open.size() >= MAX_STORAGE_DEPTH)
                return refuse(reason, "nests lists or maps deeper than " +
                                          std::to_string(MAX_STORAGE_DEPTH) +
                                          " levels: not a calibration file");
            open.push_back({index, kind == STORAGE_MAP, kind == STORAGE_MAP, std::string()});
        }
    }
}

}  // namespace phaze_internal
