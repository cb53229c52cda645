#pragma once
// The records and interfaces through which the engine reports upwards.

#include <boost/variant.hpp>

#include <cstdint>

// Tag order matters to receivers: 0 unsigned 64-bit, 1 one-byte flag, 2 signed 32-bit.
typedef boost::variant<std::uint64_t, bool, std::int32_t> EventValue;

struct UpdateEvent {
    // OperationRefused: the file system refused an operation this system does not
    // support here (a device name, say); the UI tells the player, the run goes on.
    enum Kind : std::int32_t { Progress = 0, BytesReceived = 1, Finished = 2, OperationRefused = 3 };

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

}  // namespace gametool
