#include "tests/common/Servers.h"

#include "tests/common/Files.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace fixtures {

// A Windows process under wine cannot start a Linux program: tests/common/native-children
// starts it on a request file in the directory it names, and reports its end the same way.
namespace {

const char kChildrenVariable[] = "LAUNCHER_NATIVE_CHILDREN";

fs::path requestDirectory()
{
    const char* dir = std::getenv(kChildrenVariable);
    return dir && *dir ? fs::path("Z:" + std::string(dir)) : fs::path();
}

fs::path requestFile(long id, const char* suffix)
{
    return requestDirectory() / (std::to_string(id) + suffix);
}

}  // namespace

bool ChildProcess::supported()
{
    return !requestDirectory().empty();
}

std::string nativePath(const fs::path& path)
{
    const std::wstring absolute = fs::absolute(path).wstring();
    // Wine's own mapping, which knows every drive (the run's directory is on C:).
    typedef char*(__cdecl * UnixName)(const wchar_t*);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const UnixName unixName = kernel ? reinterpret_cast<UnixName>(reinterpret_cast<void*>(
                                           GetProcAddress(kernel, "wine_get_unix_file_name")))
                                     : nullptr;
    char* name = unixName ? unixName(absolute.c_str()) : nullptr;
    if (!name) {
        ADD_FAILURE() << "wine has no Unix name for " << fs::path(absolute).string();
        return fs::path(absolute).string();
    }
    const std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const fs::path& logFile)
{
    static long counter = 0;
    if (!supported() || arguments.empty()) {
        return;
    }
    const long id = ++counter;
    std::string request = nativePath(logFile) + '\0';
    for (const std::string& argument : arguments) {
        request += argument + '\0';
    }
    // Written aside and renamed, so that native-children never reads half a request.
    const fs::path pending = requestFile(id, ".pending");
    writeFile(pending, request);
    boost::system::error_code error;
    fs::rename(pending, requestFile(id, ".args"), error);
    if (!error) {
        id_ = id;
    }
}

ChildProcess::~ChildProcess()
{
    stop();
}

bool ChildProcess::running() const
{
    boost::system::error_code error;
    return id_ > 0 && !fs::exists(requestFile(id_, ".exit"), error);
}

void ChildProcess::terminate()
{
    if (id_ > 0) {
        writeFile(requestFile(id_, ".stop"), "");
    }
}

int ChildProcess::stop()
{
    if (id_ <= 0) {
        return status_;
    }
    terminate();
    // native-children kills the program after 10 s of SIGTERM; a little longer here.
    const fs::path exitFile = requestFile(id_, ".exit");
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    boost::system::error_code error;
    while (!fs::exists(exitFile, error) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string text = readFile(exitFile);
    // The shell's status: above 128 the program ended by a signal.
    const int status = text.empty() ? -1 : std::atoi(text.c_str());
    status_ = status > 128 ? -1 : status;
    id_ = -1;
    return status_;
}

}  // namespace fixtures
