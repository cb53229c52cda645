#pragma once
// INFO-format files read and written under the user's default locale.

#include <boost/property_tree/ptree.hpp>

#include <locale>
#include <map>
#include <string>

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
