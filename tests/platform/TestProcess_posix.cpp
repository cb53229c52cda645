#include "tests/platform/TestSupport.h"

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace platformtest {

int runAndWait(const boost::filesystem::path& program, const std::vector<std::string>& args)
{
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace platformtest
