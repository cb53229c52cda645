#include "tests/common/Servers.h"

#include "tests/common/Files.h"

#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace fixtures {

bool ChildProcess::supported()
{
    return true;
}

std::string nativePath(const fs::path& path)
{
    return fs::absolute(path).string();
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const fs::path& logFile)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        id_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess()
{
    stop();
}

bool ChildProcess::running() const
{
    if (id_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_t(id_), &status, WNOHANG) == 0) {
        return true;
    }
    // Its status can be collected once only: kept for stop().
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    id_ = -1;
    return false;
}

void ChildProcess::terminate()
{
    if (id_ > 0) {
        kill(pid_t(id_), SIGTERM);
    }
}

int ChildProcess::stop()
{
    if (id_ <= 0) {
        return status_;
    }
    kill(pid_t(id_), SIGTERM);
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = waitpid(pid_t(id_), &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
        kill(pid_t(id_), SIGKILL);
        waitpid(pid_t(id_), &status, 0);
        status_ = -1;
    } else if (done < 0) {
        status_ = -1;
    } else {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    id_ = -1;
    return status_;
}

}  // namespace fixtures
