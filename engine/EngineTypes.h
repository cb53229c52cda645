#pragma once
// The records and interfaces through which the engine reports upwards and
// hears from the downloads it starts.

#include <boost/variant.hpp>

#include <cstdint>
#include <memory>
#include <string>

// Tag order matters to receivers: 0 unsigned 64-bit, 1 one-byte flag, 2 signed 32-bit.
typedef boost::variant<std::uint64_t, bool, std::int32_t> EventValue;

struct UpdateEvent {
    enum Kind : std::int32_t { Progress = 0, BytesReceived = 1, Finished = 2 };

    std::int32_t kind;
    EventValue first;
    EventValue second;
};

// Carried by the Finished event.
enum ResultCode : std::int32_t {
    ResultSuccess = 0,
    ResultConfigurationFailed = 1,
    ResultServerUnreachable = 2,
};

namespace gametool {

class EventSet {
public:
    virtual ~EventSet() = default;
    virtual void onEvent(UpdateEvent& event) { (void)event; }
};

class FileDownloadListener {
public:
    virtual ~FileDownloadListener() = default;
    virtual void onBytesReceived(std::uint64_t count) { (void)count; }
    virtual void onMessage(const std::string& text) { (void)text; }
    // Reserved notification; nothing raises it yet.
    virtual void onNotify(std::uintptr_t code, std::uintptr_t value) { (void)code; (void)value; }
};

struct FileInfo {
    std::string name;
    std::string path;
    std::string sha1;
    std::uint64_t size = 0;
};

typedef std::shared_ptr<FileInfo> FileInfoPtr;

}  // namespace gametool
