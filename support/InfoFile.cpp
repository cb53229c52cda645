#include "support/InfoFile.h"

#include "support/FileManager.h"
#include "support/InputFile.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <utility>

ScopedUserLocale::ScopedUserLocale() : previous_(std::locale())
{
    std::locale user = std::locale::classic();
    try {
        user = std::locale("");
    } catch (const std::runtime_error&) {
        // The environment names a locale the system does not have.
    }
    std::locale::global(user);
}

ScopedUserLocale::~ScopedUserLocale()
{
    std::locale::global(previous_);
}

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

// Keeps the data of each top-level entry, the later of two equal keys winning.
class TopLevelEntries : public InfoEntryVisitor {
public:
    explicit TopLevelEntries(InfoEntries& entries) : entries_(entries) {}
    void opened(InfoEntryPath&) override {}
    void closed(const InfoEntryPath& path) override
    {
        if (path.depth() == 1)
            entries_[path.key(0)] = path.data(0);
    }

private:
    InfoEntries& entries_;
};

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Follows the INFO reader's own test, line by line: blanks, '#', blanks, then the
// word "include" ended by a blank, ';' or the end of the line text (a zero byte
// ends the text the reader looks at).
class DirectiveScanner {
public:
    bool found() const { return found_; }

    void feed(char c)
    {
        if (c == '\n') {
            if (state_ == State::Word && matched_ == kWordLength)
                found_ = true;
            state_ = State::LineStart;
            matched_ = 0;
            return;
        }
        switch (state_) {
        case State::LineStart:
            if (c == '#')
                state_ = State::AfterHash;
            else if (!isAsciiSpace(c))
                state_ = State::Ignore;
            break;
        case State::AfterHash:
            if (isAsciiSpace(c))
                break;
            state_ = State::Word;
            matched_ = 0;
            word(c);
            break;
        case State::Word:
            word(c);
            break;
        case State::Ignore:
            break;
        }
    }

    void finish() { feed('\n'); }

private:
    enum class State { LineStart, AfterHash, Word, Ignore };
    static const int kWordLength = 7;

    void word(char c)
    {
        if (c == '\0' || c == ';' || isAsciiSpace(c)) {
            if (matched_ == kWordLength)
                found_ = true;
            state_ = State::Ignore;
        } else if (matched_ < kWordLength && c == "include"[matched_]) {
            ++matched_;
        } else {
            state_ = State::Ignore;
        }
    }

    State state_ = State::LineStart;
    int matched_ = 0;
    bool found_ = false;
};

// A key or value as Boost's writer puts it, but quoted also when it begins
// with '#': left bare, the reader would take its line for a directive and refuse
// the whole file.
std::string infoWord(const std::string& text)
{
    namespace info = boost::property_tree::info_parser;
    const std::string escaped = info::create_escapes(text);
    if (info::is_simple_key(escaped) && escaped[0] != '#')
        return escaped;
    return '"' + escaped + '"';
}

}  // namespace

bool hasIncludeDirective(const std::wstring& path)
{
    InputFile file(path);
    if (!file.isOpen())
        return false;
    const std::int64_t kChunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    DirectiveScanner scanner;
    for (;;) {
        std::int64_t got = file.read(buffer.get(), kChunk);
        for (std::int64_t i = 0; i < got && !scanner.found(); ++i)
            scanner.feed(buffer[i]);
        if (got != kChunk || scanner.found())
            break;
    }
    scanner.finish();
    return scanner.found();
}

void readInfoEntries(const std::string& filename, InfoEntryVisitor& visitor, const std::locale& locale)
{
    namespace info = boost::property_tree::info_parser;
    std::ifstream stream;
    if (!FileManager::instance().openTextInput(stream, narrowToWide(filename)))
        throw info::info_parser_error("cannot open file for reading", filename, 0);
    stream.imbue(locale);
    Walk walk(visitor);
    StreamNode root;
    root.walk = &walk;
    info::read_info_internal(stream, root, filename, 0);
    walk.closeBelow(0);
}

InfoRead readInfoFile(const std::wstring& path, InfoEntries& entries, std::string& error)
{
    if (hasIncludeDirective(path))
        return InfoRead::HasInclude;
    // Nothing is handed over from a file that turns out malformed.
    InfoEntries read;
    try {
        ScopedUserLocale userLocale;
        TopLevelEntries visitor(read);
        readInfoEntries(wideToNarrow(path), visitor, std::locale());
    } catch (const boost::property_tree::info_parser_error& e) {
        error = e.what();
        return InfoRead::Malformed;
    }
    for (const auto& entry : read)
        entries[entry.first] = entry.second;
    return InfoRead::Read;
}

std::string infoText(const InfoEntries& entries)
{
    std::string text;
    for (const auto& entry : entries)
        text += infoWord(entry.first) + ' ' + infoWord(entry.second) + '\n';
    return text;
}
