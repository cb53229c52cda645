#include "tests/platform/TestSupport.h"

#include "platform/Platform.h"

#include <boost/filesystem.hpp>

#include <sstream>
#include <thread>

namespace fs = boost::filesystem;

namespace platformtest {

fs::path probePath()
{
    const fs::path self(platform::modulePath());
    return self.parent_path() / (L"platform_probe" + self.extension().wstring());
}

std::vector<std::string> waitForLines(const fs::path& file, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Under wine the renamed file has been seen to exist a moment before it can be
    // read: wait for its content, not only its name.
    std::string content;
    while ((content = fs::exists(file) ? readFile(file) : std::string()).empty()) {
        if (std::chrono::steady_clock::now() > deadline)
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::vector<std::string> lines;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::wstring uniqueLockName(const char* purpose)
{
    const std::string unique = fs::unique_path("%%%%%%%%").string();
    const std::string name = std::string("Global\\LauncherTest-") + purpose + "-" + unique;
    return std::wstring(name.begin(), name.end());
}

}  // namespace platformtest
