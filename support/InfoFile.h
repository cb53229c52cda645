#pragma once
// INFO-format files read and written under the user's default locale.

#include <boost/property_tree/ptree.hpp>

#include <locale>
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
