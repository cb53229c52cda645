#include "tests/engine/Servers_posix.h"

#include "tests/engine/EngineTestSupport.h"

#include <boost/filesystem/operations.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace fs = boost::filesystem;

namespace {

bool accepts(const std::string& address, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& argv, const fs::path& output,
                             const std::string& address, int port)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int error = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + argv[0]);

    // Bounded: a server that never listens fails the test instead of hanging it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!accepts(address, port)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(argv[0] + " ended early: " + readFile(output));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error(argv[0] + " does not listen: " + readFile(output));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ServerProcess::~ServerProcess()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

VersionServer::VersionServer(const fs::path& root)
    : root_((fs::create_directories(root), root)),
      process_({VERSION_SERVER_PROGRAM, "--root", root.string(), "--listen", "127.0.0.1"},
               root.parent_path() / "version-server.out", "127.0.0.1", 7455)
{
}

std::string VersionServer::output() const
{
    return readFile(root_.parent_path() / "version-server.out");
}

namespace {

fs::path writeNginxConfig(const fs::path& dir)
{
    fs::create_directories(dir / "www1");
    fs::create_directories(dir / "www2");
    const std::string d = dir.string();
    std::string servers;
    for (int host = 1; host <= 2; ++host) {
        const std::string n = std::to_string(host);
        servers += "  server { listen 127.0.0." + n + ":80; root " + d + "/www" + n + "; access_log " + d +
                   "/access" + n + ".log uris; }\n";
    }
    // One process, no user switch: inside a user namespace there is no other user.
    writeFile(dir / "nginx.conf",
              "user root root;\ndaemon off;\nmaster_process off;\nerror_log " + d + "/error.log;\npid " + d +
                  "/nginx.pid;\nevents { worker_connections 64; }\nhttp {\n"
                  "  log_format uris '$request_uri';\n"
                  "  client_body_temp_path " + d + "/body;\n  proxy_temp_path " + d + "/proxy;\n"
                  "  fastcgi_temp_path " + d + "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n"
                  "  scgi_temp_path " + d + "/scgi;\n" + servers + "}\n");
    return dir / "nginx.conf";
}

}  // namespace

WebServer::WebServer(const fs::path& dir)
    : dir_(dir),
      process_({NGINX_PROGRAM, "-p", dir.string(), "-c", writeNginxConfig(dir).string()}, dir / "nginx.out",
               "127.0.0.1", 80)
{
}

fs::path WebServer::root(int host) const
{
    return dir_ / ("www" + std::to_string(host));
}

std::vector<std::string> WebServer::requests(int host) const
{
    std::istringstream in(readFile(dir_ / ("access" + std::to_string(host) + ".log")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
