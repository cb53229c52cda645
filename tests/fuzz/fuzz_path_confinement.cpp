// Path confinement on any name: a name it accepts must, resolved against a base
// directory, name something strictly below that base on either system.

#include "support/PathSafety.h"

#include <boost/filesystem/path.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string name(reinterpret_cast<const char*>(data), size);
    if (!isConfinedRelativePath(name))
        return 0;
    if (name.find(':') == 1 || name.find('\0') != std::string::npos)
        std::abort();
    std::string generic = name;
    std::replace(generic.begin(), generic.end(), '\\', '/');
    const std::string base = "/base";
    const std::string resolved = (boost::filesystem::path(base + "/" + generic).lexically_normal()).generic_string();
    if (resolved.compare(0, base.size() + 1, base + "/") != 0 || resolved.size() <= base.size() + 1 ||
        resolved == base + "/.")
        std::abort();
    return 0;
}
