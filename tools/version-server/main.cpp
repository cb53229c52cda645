// version-server --root DIR [--listen ADDR] [--port 7455] [--name-encoding gbk|utf-8]
//                [--max-connections N] [--max-per-address N] [--descriptor-limit N]
//                [--metrics ADDR:PORT]
// Serves DIR to the starter; one line per request on standard output; with
// --metrics, its figures for Prometheus at http://ADDR:PORT/metrics.

#include "VersionServer.h"

#include "support/Decimal.h"
#include "support/TextConvert.h"

#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

// Lines not yet written that the log may hold before it drops request lines.
const std::size_t kLogBuffer = 1024 * 1024;

// SIGINT and SIGTERM reach the main thread alone, and only while it serves. The
// signal set that catches them is gone once serving has ended; a stop signal that
// came then would meet the default action and turn a clean stop into a kill.
void setStopSignalsBlocked(bool blocked)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

int usage(const std::string& problem)
{
    std::cerr << "version-server: " << problem << "\n"
              << "usage: version-server --root DIR [options]\n"
              << "  --root DIR              directory whose files are served (required)\n"
              << "  --listen ADDR           address to listen on (default 0.0.0.0)\n"
              << "  --port PORT             TCP port (default 7455)\n"
              << "  --name-encoding ENC     how starters send file names: gbk (code page 936,\n"
              << "                          the Windows starter; default) or utf-8\n"
              << "  --max-connections N     open connections at most (default: from the\n"
              << "                          descriptor limit)\n"
              << "  --max-per-address N     open connections per client address at most\n"
              << "                          (default 0: no cap)\n"
              << "  --descriptor-limit N    descriptors for the process (default: the hard limit)\n"
              << "  --metrics ADDR:PORT     serve metrics for Prometheus at http://ADDR:PORT/metrics\n"
              << "                          ([ADDR]:PORT for IPv6; default: none)\n";
    return 2;
}

bool number(const std::string& text, std::uint64_t& value)
{
    return text.size() <= 12 && parseDecimal(text, value);
}

// Raises the soft descriptor limit to the hard one (or to `wanted`, when lower);
// returns the limit in force.
std::uint64_t raiseDescriptorLimit(std::uint64_t wanted)
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;
    }
    rlim_t target = limit.rlim_max;
    if (wanted != 0 && (target == RLIM_INFINITY || wanted < target)) {
        target = rlim_t(wanted);
    }
    if (target == RLIM_INFINITY) {
        target = 1 << 20;
    }
    struct rlimit raised = limit;
    raised.rlim_cur = target;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
        return std::uint64_t(target);
    }
    return std::uint64_t(limit.rlim_cur);
}

std::string endpointText(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const std::string address = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(endpoint.port());
}

}  // namespace

int main(int argc, char** argv)
{
    // A client that hangs up mid-reply makes sendfile raise SIGPIPE; its error
    // ends that connection only.
    std::signal(SIGPIPE, SIG_IGN);
    initPathConversion();

    std::string root;
    std::string listen = "0.0.0.0";
    std::uint64_t port = 7455;
    std::uint64_t maxConnections = 0;
    std::uint64_t maxPerAddress = 0;
    std::uint64_t descriptorLimit = 0;
    versionserver::Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            usage("serves a directory over the version protocol");
            return 0;
        }
        if (i + 1 >= argc) {
            return usage("unknown or incomplete option " + option);
        }
        const std::string value = argv[++i];
        std::uint64_t milliseconds = 0;
        if (option == "--root") {
            root = value;
        } else if (option == "--listen") {
            listen = value;
        } else if (option == "--port") {
            if (!number(value, port) || port > 65535) {
                return usage("bad port " + value);
            }
        } else if (option == "--name-encoding") {
            if (!parseNameEncoding(value, settings.encoding)) {
                return usage("unknown name encoding " + value + " (gbk or utf-8)");
            }
        } else if (option == "--max-connections") {
            if (!number(value, maxConnections) || maxConnections == 0) {
                return usage("bad number of connections " + value);
            }
        } else if (option == "--max-per-address") {
            if (!number(value, maxPerAddress)) {
                return usage("bad number of connections " + value);
            }
        } else if (option == "--metrics") {
            if (!versionserver::parseMetricsAddress(value, settings.metricsEndpoint)) {
                return usage("bad metrics address " + value + " (ADDR:PORT)");
            }
            settings.metrics = true;
        } else if (option == "--descriptor-limit") {
            if (!number(value, descriptorLimit) || descriptorLimit < 64) {
                return usage("bad descriptor limit " + value + " (64 at least)");
            }
        } else if (option == "--greeting-ms" || option == "--idle-ms" || option == "--drain-ms" ||
                   option == "--summary-ms" || option == "--watch-ms") {
            // Not in the usage: shorter times for tests.
            if (!number(value, milliseconds) || milliseconds == 0) {
                return usage("bad time " + value);
            }
            (option == "--greeting-ms" ? settings.greetingTime
             : option == "--idle-ms"   ? settings.idleTime
             : option == "--drain-ms"  ? settings.drainTime
             : option == "--watch-ms"  ? settings.watchInterval
                                       : settings.summaryInterval) = std::chrono::milliseconds(milliseconds);
        } else if (option == "--digest-hold") {
            // Not in the usage: for tests, every digest waits while this file exists,
            // as if it were a file that takes longer to read than a starter waits.
            settings.digestHold = [value]() { return ::access(value.c_str(), F_OK) == 0; };
        } else {
            return usage("unknown option " + option);
        }
    }
    if (root.empty()) {
        return usage("--root is required");
    }
    boost::system::error_code error;
    if (!boost::filesystem::is_directory(root, error)) {
        return usage("not a directory: " + root);
    }

    const std::uint64_t limit = raiseDescriptorLimit(descriptorLimit);
    settings.maxConnections =
        maxConnections != 0 ? std::size_t(maxConnections) : versionserver::connectionCapFor(limit);
    settings.maxPerAddress = std::size_t(maxPerAddress);

    // Blocked before the log's writer thread starts, which keeps them blocked.
    setStopSignalsBlocked(true);
    versionserver::RequestLog log(STDOUT_FILENO, kLogBuffer);
    try {
        // Not resolved here: a link switched to the next release is followed.
        settings.root = boost::filesystem::absolute(root).string();
        while (settings.root.size() > 1 && settings.root.back() == '/') {
            settings.root.pop_back();
        }
        boost::asio::io_context io(1);
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(listen),
                                                      static_cast<unsigned short>(port));
        versionserver::Server server(io, settings, endpoint, log);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& signalError, int) {
            if (!signalError) {
                log.always("version-server: stopping");
                server.stop();
            }
        });
        log.always(
            "version-server: descriptor limit " + std::to_string(limit) + ", at most " +
            std::to_string(settings.maxConnections) + " connections" +
            (settings.maxPerAddress ? ", " + std::to_string(settings.maxPerAddress) + " per address" : "") +
            ", names in " + (settings.encoding == NameEncoding::Gbk ? "gbk" : "utf-8") +
            (settings.metrics ? ", metrics on " + endpointText(settings.metricsEndpoint) : std::string()));
        setStopSignalsBlocked(false);
        io.run();
        setStopSignalsBlocked(true);
        log.always(server.summary());
        log.always("version-server: stopped");
        if (server.failed()) {
            return 1;
        }
    } catch (const std::exception& exception) {
        log.always(std::string("version-server: ") + exception.what());
        return 1;
    }
    return 0;
}
