#pragma once
// Reads an INFO file entry by entry, with the grammar, include handling and
// error texts of Boost.PropertyTree's reader, but without building the tree: a
// file of tens of thousands of entries costs only what the caller keeps.
// Throws boost::property_tree::info_parser_error where read_info would.

#include <cstddef>
#include <deque>
#include <locale>
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

void readInfoEntries(const std::string& filename, InfoEntryVisitor& visitor,
                     const std::locale& locale = std::locale());
