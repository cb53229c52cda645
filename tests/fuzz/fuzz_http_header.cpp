// The HTTP response header parser of the range downloader, on any bytes.

#include "net/HttpHeader.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    gametool::ResponseHeader header;
    const bool parsed = gametool::parseHeader(input, header);
    if (parsed && ((header.statusCode != 200 && header.statusCode != 206) ||
                   header.httpVersion.compare(0, 5, "HTTP/") != 0))
        std::abort();
    return 0;
}
