// Started by the platform tests.
//   platform_probe lock NAME   exit 0 when the single-instance lock NAME was taken, 3 when refused
//   platform_probe [ARGS...]   writes its working directory, then argv[0] and each
//                              argument, one per line, to "argv.txt" in its working directory
//   platform_probe module      writes the path of its own executable to "module.txt"
//                              beside that executable
//   platform_probe fds         the same as without arguments, after writing the descriptors it inherited
//                              beyond the standard streams to "fds.txt" (systems with /proc)

#include "platform/Platform.h"

#include <boost/filesystem.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace fs = boost::filesystem;

namespace {

std::string inheritedDescriptors()
{
    std::string names;
    boost::system::error_code error;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name == "0" || name == "1" || name == "2")
            continue;
        // The walk's own descriptor points back into /proc.
        const fs::path target = fs::read_symlink(it->path(), error);
        if (target.string().compare(0, 6, "/proc/") == 0)
            continue;
        names += name + " " + target.string() + "\n";
    }
    return names;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "lock") == 0) {
        const std::string name = argv[2];
        return platform::acquireSingleInstance(std::wstring(name.begin(), name.end())) ? 0 : 3;
    }

    if (argc == 2 && std::strcmp(argv[1], "module") == 0) {
        const fs::path self(platform::modulePath());
        std::ofstream out((self.parent_path() / "module.txt").string(), std::ios::binary | std::ios::trunc);
        out << self.string();
        return out.flush() ? 0 : 1;
    }

    if (argc == 2 && std::strcmp(argv[1], "fds") == 0) {
        const std::string names = inheritedDescriptors();
        std::ofstream out("fds.txt", std::ios::binary | std::ios::trunc);
        out << names;
        if (!out.flush())
            return 1;
    }

    // Written under another name first, so that a reader never sees half a file.
    {
        std::ofstream out("argv.txt.part", std::ios::binary | std::ios::trunc);
        out << fs::current_path().string() << '\n';
        for (int i = 0; i < argc; ++i)
            out << argv[i] << '\n';
        if (!out.flush())
            return 1;
    }
    return std::rename("argv.txt.part", "argv.txt") == 0 ? 0 : 1;
}
