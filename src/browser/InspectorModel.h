#pragma once
// The inspector's view of an image's metadata: a tree of (name, value) rows,
// grouped by sub-dictionary, each value decoded into words or photographic
// notation. Free of any window code, so the inspector window and the command
// line show the same rows.

#include "platform/Value.h"

#include <string>
#include <vector>

namespace orvanta {

struct InspectorNode {
    std::string key, val;
    std::vector<InspectorNode> children; // a group when not empty
};

class InspectorModel {
public:
    // propTree: — the rows of a metadata dictionary.
    static std::vector<InspectorNode> propTree(const Dictionary &metaData);
    // The first property-table entry for key, or −1.
    static int itemIndex(const std::string &key);
    static std::string prettyName(const std::string &key);
    static std::string prettyValue(const Value &value, int index);
    static std::string appendWithSeparator(const std::string &s, const std::string &addition,
                                           const std::string &separator);
};

} // namespace orvanta
