// version-server --root DIR [--listen ADDR] [--port 7455]
// Serves DIR to the starter; one line per request on standard output.

#include "VersionServer.h"

#include "support/TextConvert.h"

#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

namespace {

int usage(const std::string& problem) {
    std::cerr << "version-server: " << problem << "\n"
              << "usage: version-server --root DIR [--listen ADDR] [--port PORT]\n"
              << "  --root DIR     directory whose files are served (required)\n"
              << "  --listen ADDR  address to listen on (default 0.0.0.0)\n"
              << "  --port PORT    TCP port (default 7455)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    initPathConversion();
    std::string root;
    std::string listen = "0.0.0.0";
    std::string port = "7455";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--root" || option == "--listen" || option == "--port") && i + 1 < argc) {
            const std::string value = argv[++i];
            (option == "--root" ? root : option == "--listen" ? listen : port) = value;
        } else if (option == "--help" || option == "-h") {
            usage("serves a directory over the version protocol");
            return 0;
        } else {
            return usage("unknown or incomplete option " + option);
        }
    }
    if (root.empty()) {
        return usage("--root is required");
    }
    if (!boost::filesystem::is_directory(root)) {
        return usage("not a directory: " + root);
    }
    unsigned long portNumber = 0;
    try {
        std::size_t used = 0;
        portNumber = std::stoul(port, &used);
        if (used != port.size() || portNumber > 65535) {
            return usage("bad port " + port);
        }
    } catch (const std::exception&) {
        return usage("bad port " + port);
    }

    try {
        boost::asio::io_context io;
        const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(listen),
                                                      static_cast<unsigned short>(portNumber));
        versionserver::Server server(io, root, endpoint, std::cout);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& error, int) {
            if (!error) {
                server.stop();
            }
        });
        std::cout << "version-server: serving " << boost::filesystem::canonical(root).string()
                  << " on " << endpoint << std::endl;
        io.run();
        std::cout << "version-server: stopped" << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "version-server: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
