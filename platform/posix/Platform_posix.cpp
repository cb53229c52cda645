// Process-level calls on POSIX systems, giving each the meaning the Windows
// program relies on (see platform/Platform.h).

#include "platform/Platform.h"

#include "support/FileManager.h"
#include "support/SelfReplacement.h"
#include "support/TextConvert.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

bool isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// Splits at runs of blanks, the way a Windows program splits its command line
// when nothing is quoted.
std::vector<std::string> splitAtBlanks(const std::wstring& text)
{
    std::vector<std::string> words;
    std::wstring word;
    for (wchar_t c : text) {
        if (isBlank(c)) {
            if (!word.empty())
                words.push_back(wideToNarrow(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(wideToNarrow(word));
    return words;
}

// A relative path is taken from the installation directory, as the file utilities take it.
std::string absolutePath(const std::string& given)
{
    const std::string path = wideToNarrow(FileManager::instance().resolve(narrowToWide(given)));
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    std::string result = cwd;
    if (result.empty() || result.back() != '/')
        result += '/';
    return result + path;
}

// A program delivered by an update carries no execute bit; its owner may run it.
void makeExecutableForOwner(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && !(info.st_mode & S_IXUSR))
        chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR);
}

// Starts `argv` (argv[0] is the program path) in `directory` (empty: ours),
// with only the standard streams open, like a program the Windows shell starts.
bool spawnDetached(const std::vector<std::string>& args, const std::string& directory, bool newSession)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    bool prepared = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
    if (prepared && !directory.empty())
        prepared = posix_spawn_file_actions_addchdir_np(&actions, directory.c_str()) == 0;
    if (prepared && newSession)
        prepared = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID) == 0;

    pid_t pid = 0;
    const bool started =
        prepared && posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

std::string temporaryDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    struct stat info;
    if (dir && *dir == '/' && stat(dir, &info) == 0 && S_ISDIR(info.st_mode))
        return dir;
    return "/tmp";
}

}  // namespace

bool isWow64()
{
    return false;
}

std::wstring modulePath()
{
    std::vector<char> buffer(PATH_MAX + 1, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return std::wstring();
    return narrowToWide(std::string(buffer.data(), static_cast<std::size_t>(length)));
}

std::wstring commandLine(int argc, char** argv)
{
    if (argc < 1 || !argv || !argv[0])
        return std::wstring();
    // The starter passes on its last double-quoted argument: an argument left
    // bare would make that the program path.
    std::wstring text = L"\"" + narrowToWide(argv[0]) + L"\"";
    for (int i = 1; i < argc && argv[i]; ++i)
        text += L" \"" + narrowToWide(argv[i]) + L"\"";
    return text;
}

bool acquireSingleInstance(const std::wstring& name)
{
    std::string fileName = wideToNarrow(name);
    for (char& c : fileName) {
        if (c == '\\' || c == '/')
            c = '_';
    }
    const std::string path = temporaryDirectory() + "/" + fileName + ".lock";
    // Read-only is enough for flock, and lets a lock file left by another user
    // serve everyone, as a kernel mutex vanishes with its last holder.
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;  // like a mutex we may not open: access denied
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return false;
    }
    // The descriptor stays open on purpose: the lock is held until the process ends.
    return true;
}

bool startProgram(const StartRequest& request)
{
    const std::string directory =
        request.directory.empty() ? std::string() : absolutePath(wideToNarrow(request.directory));
    std::string program = wideToNarrow(request.file);
    if (program.empty())
        return false;
    if (program[0] != '/')
        program = (directory.empty() ? absolutePath(std::string()) : directory + "/") + program;
    makeExecutableForOwner(program);

    std::vector<std::string> args{program};
    for (std::string& word : splitAtBlanks(request.parameters))
        args.push_back(std::move(word));
    return spawnDetached(args, directory, false);
}

bool startSelfReplacement(const std::wstring& exeDir, const std::wstring& argument)
{
    std::vector<std::string> command;
    for (const std::wstring& word : buildSelfReplaceShellCommand(argument))
        command.push_back(wideToNarrow(word));
    const std::string directory = wideToNarrow(exeDir);
    return !directory.empty() && spawnDetached(command, absolutePath(directory), true);
}

}  // namespace platform
