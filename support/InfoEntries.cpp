#include "support/InfoEntries.h"

#include <boost/property_tree/info_parser.hpp>

#include <fstream>
#include <utility>

namespace {

class Walk;

// What Boost's INFO reader takes for a tree node: it only ever adds children to
// the node on top of its stack and sets the data of the child it added last, so
// one open entry per level is all that has to be kept.
struct StreamNode {
    Walk* walk = nullptr;
    std::size_t depth = 0;

    std::string& data();
    template <class Value>
    Value get_value() const;
    void put_value(const std::string& value) { data() = value; }
    std::pair<std::string, StreamNode>* push_back(const std::pair<std::string, StreamNode>& child);
};

class Walk {
public:
    explicit Walk(InfoEntryVisitor& visitor) : visitor_(visitor) {}

    std::pair<std::string, StreamNode>* add(std::size_t parentDepth, const std::string& key)
    {
        closeBelow(parentDepth);
        InfoEntryPath::Entry entry;
        entry.key = key;
        path_.entries().push_back(std::move(entry));
        StreamNode node;
        node.walk = this;
        node.depth = parentDepth + 1;
        nodes_.emplace_back(std::string(), node);
        visitor_.opened(path_);
        return &nodes_.back();
    }

    // Reports every open entry deeper than `depth` as complete, deepest first.
    void closeBelow(std::size_t depth)
    {
        while (path_.depth() > depth) {
            visitor_.closed(path_);
            path_.entries().pop_back();
            nodes_.pop_back();
        }
    }

    std::string& data(std::size_t depth) { return path_.entries()[depth - 1].data; }

private:
    InfoEntryVisitor& visitor_;
    InfoEntryPath path_;
    // The open entries as the reader holds them (it keeps pointers to them, which
    // a deque leaves valid); a node only says where its data lives.
    std::deque<std::pair<std::string, StreamNode>> nodes_;
};

std::string& StreamNode::data()
{
    return walk->data(depth);
}

template <class Value>
Value StreamNode::get_value() const
{
    return walk->data(depth);
}

std::pair<std::string, StreamNode>* StreamNode::push_back(const std::pair<std::string, StreamNode>& child)
{
    return walk->add(depth, child.first);
}

}  // namespace

void readInfoEntries(const std::string& filename, InfoEntryVisitor& visitor, const std::locale& locale)
{
    namespace info = boost::property_tree::info_parser;
    std::ifstream stream(filename.c_str());
    if (!stream)
        throw info::info_parser_error("cannot open file for reading", filename, 0);
    stream.imbue(locale);
    Walk walk(visitor);
    StreamNode root;
    root.walk = &walk;
    info::read_info_internal(stream, root, filename, 0);
    walk.closeBelow(0);
}
