#pragma once
// The one reader of INFO-format files, from the server or local: entry by entry
// with the grammar, include handling and error texts of Boost.PropertyTree's
// reader, but without building the tree, so that a file of tens of thousands of
// entries costs only what the caller keeps; and the top-level entries of a file
// from outside, read under the user's default locale, and written so that they
// read back.

#include <cstddef>
#include <deque>
#include <locale>
#include <map>
#include <string>

class InfoEntryPath;

class InfoEntryVisitor {
public:
    virtual ~InfoEntryVisitor() = default;
    // A new entry, the last one of `path`; its key is known, its data not yet.
    virtual void opened(InfoEntryPath& path) = 0;
    // The last entry of `path` is complete: its data and all its children are read.
    virtual void closed(const InfoEntryPath& path) = 0;
};

// The entries from the top level down to the one being reported.
class InfoEntryPath {
public:
    std::size_t depth() const { return entries_.size(); }
    // `level` counts from 0, the top-level entry.
    const std::string& key(std::size_t level) const { return entries_[level].key; }
    const std::string& data(std::size_t level) const { return entries_[level].data; }
    // A visitor's own flag on an entry, for choosing the first of equal keys.
    bool marked(std::size_t level) const { return entries_[level].marked; }
    void mark() { entries_.back().marked = true; }

    struct Entry {
        std::string key;
        std::string data;
        bool marked = false;
    };
    std::deque<Entry>& entries() { return entries_; }

private:
    std::deque<Entry> entries_;
};

// Reports every entry of the file to `visitor`. Throws
// boost::property_tree::info_parser_error where read_info would.
void readInfoEntries(const std::string& filename, InfoEntryVisitor& visitor,
                     const std::locale& locale = std::locale());

// Sets the process-wide locale to the user's default for its lifetime and restores
// the previous one; falls back to the classic locale when the default is broken.
class ScopedUserLocale {
public:
    ScopedUserLocale();
    ~ScopedUserLocale();
    ScopedUserLocale(const ScopedUserLocale&) = delete;
    ScopedUserLocale& operator=(const ScopedUserLocale&) = delete;

private:
    std::locale previous_;
};

// True when a line's first non-blank text is "#include": a file from outside may
// not make the reader open local files.
bool hasIncludeDirective(const std::wstring& path);

typedef std::map<std::string, std::string> InfoEntries;

enum class InfoRead { Read, HasInclude, Malformed };

// Reads the top-level entries of an INFO file from outside, the later of two
// equal keys winning, under the user's default locale. A file with an include
// directive is not read at all. `error` gets the reader's message when the file
// cannot be opened or parsed. Logs nothing: what a failure means is the caller's.
InfoRead readInfoFile(const std::wstring& path, InfoEntries& entries, std::string& error);

// The INFO text of top-level entries, one line each in the map's order, which
// readInfoFile reads back as they are.
std::string infoText(const InfoEntries& entries);
