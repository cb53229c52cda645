#include "support/InfoFile.h"

#include "support/InputFile.h"
#include "support/TextConvert.h"

#include <boost/property_tree/info_parser.hpp>

#include <memory>
#include <stdexcept>

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

InfoRead readInfoFile(const std::wstring& path, InfoEntries& entries, std::string& error)
{
    if (hasIncludeDirective(path))
        return InfoRead::HasInclude;
    boost::property_tree::ptree tree;
    try {
        ScopedUserLocale userLocale;
        boost::property_tree::read_info(wideToNarrow(path), tree, std::locale());
    } catch (const boost::property_tree::info_parser_error& e) {
        error = e.what();
        return InfoRead::Malformed;
    }
    for (const auto& child : tree)
        entries[child.first] = child.second.data();
    return InfoRead::Read;
}
