#pragma once
// The events the engine sends upwards, one function per kind, each building the
// UpdateEvent its sink expects. No lock is held while the sink runs: the UI may
// show a box inside a call, and the other transfer lanes must go on meanwhile
// (the sink guards what it shares itself). Exceptions of the sink pass through.

#include "engine/EngineTypes.h"

#include <cstdint>

namespace engine_detail {

class EngineEvents {
public:
    explicit EngineEvents(gametool::EventSet* sink) : sink_(sink) {}

    // A download pass begins: `received` of `total` bytes are in.
    void progress(std::uint64_t received, std::uint64_t total) const;
    // `count` more bytes of the pass arrived.
    void bytes(std::uint64_t count) const;
    // The file system refused an operation the program does not support here.
    void refused() const;
    // The run's last event.
    void finished(std::int32_t result) const;

private:
    void send(UpdateEvent::Kind kind, const EventValue& first) const;
    gametool::EventSet* const sink_;
};

}  // namespace engine_detail
