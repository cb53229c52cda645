#include "tests/common/Servers.h"

#include "tests/common/Files.h"
#include "tests/common/Network.h"

#include <boost/filesystem/operations.hpp>

#include <chrono>
#include <thread>

namespace fixtures {

std::string versionServerProgram()
{
    return LAUNCHER_VERSION_SERVER;
}
std::string nginxProgram()
{
    return LAUNCHER_NGINX;
}
std::string publishProgram()
{
    return LAUNCHER_PUBLISH;
}

VersionServer::VersionServer(const fs::path& root, const std::vector<std::string>& options,
                             const std::string& address)
{
    fs::create_directories(root);
    log_ = root.parent_path() / (root.filename().string() + "-server.txt");
    std::vector<std::string> arguments{versionServerProgram(), "--root", nativePath(root), "--listen",
                                       address};
    arguments.insert(arguments.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(arguments, log_);
    // The server prints its first line once it listens.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && process_->running()) {
        if (output().find("version-server: serving") != std::string::npos) {
            ready_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string VersionServer::output() const
{
    return readFile(log_);
}

NginxServer::NginxServer(const std::vector<fs::path>& roots)
{
    dir_ = roots.front().parent_path() / (roots.front().filename().string() + "-nginx");
    fs::create_directories(dir_);
    const std::string d = nativePath(dir_);
    std::string servers;
    for (std::size_t i = 0; i < roots.size(); ++i) {
        fs::create_directories(roots[i]);
        const std::string n = std::to_string(i + 1);
        // What lies under /slow/ trickles, for tests of a file that holds a connection long.
        servers += "  server { listen 127.0.0." + n + ":80; root " + nativePath(roots[i]) + "; access_log " +
                   d + "/access" + n + ".log uris; access_log " + d + "/sent" + n +
                   ".log sent; location /slow/ { limit_rate 24k; } }\n";
    }
    // Inside the namespace we are root only in name: stay that user, one process.
    writeFile(dir_ / "nginx.conf",
              "user root root;\n"
              "pid " +
                  d +
                  "/nginx.pid;\n"
                  "error_log " +
                  d +
                  "/error.log;\n"
                  "events { worker_connections 64; }\n"
                  "http {\n"
                  "  log_format uris '$request_uri';\n"
                  "  log_format sent '$bytes_sent';\n"
                  "  client_body_temp_path " +
                  d +
                  "/body;\n"
                  "  proxy_temp_path " +
                  d +
                  "/proxy;\n"
                  "  fastcgi_temp_path " +
                  d +
                  "/fastcgi;\n"
                  "  uwsgi_temp_path " +
                  d +
                  "/uwsgi;\n"
                  "  scgi_temp_path " +
                  d +
                  "/scgi;\n"
                  "  sendfile on;\n" +
                  servers + "}\n");
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{nginxProgram(), "-e", d + "/error.log", "-c", d + "/nginx.conf", "-p", d,
                                 "-g", "daemon off; master_process off;"},
        dir_ / "output.txt");
    ready_ = process_->running();
    for (std::size_t i = 0; ready_ && i < roots.size(); ++i) {
        ready_ = waitForListener("127.0.0." + std::to_string(i + 1), 80, 10);
    }
}

std::string NginxServer::errorLog() const
{
    return readFile(dir_ / "error.log") + readFile(dir_ / "output.txt");
}

std::vector<std::string> NginxServer::requests(int host) const
{
    return settledLines(dir_ / ("access" + std::to_string(host) + ".log"));
}

std::uint64_t NginxServer::bytesSent(int host) const
{
    std::uint64_t total = 0;
    for (const std::string& line : settledLines(dir_ / ("sent" + std::to_string(host) + ".log")))
        total += std::stoull(line);
    return total;
}

std::vector<std::string> NginxServer::settledLines(const fs::path& log)
{
    // nginx logs a request once it has finished it, which may be just after the
    // client has read the last byte: wait until the log stays the same a moment.
    std::string text = readFile(log);
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string again = readFile(log);
        if (again == text) {
            break;
        }
        text = again;
    }
    return splitLines(text);
}

}  // namespace fixtures
