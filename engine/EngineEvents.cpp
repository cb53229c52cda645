#include "engine/EngineEvents.h"

namespace engine_detail {

void EngineEvents::progress(std::uint64_t received, std::uint64_t total) const
{
    UpdateEvent event{UpdateEvent::Progress, EventValue(received), EventValue(total)};
    if (sink_)
        sink_->onEvent(event);
}

void EngineEvents::bytes(std::uint64_t count) const
{
    send(UpdateEvent::BytesReceived, EventValue(count));
}

void EngineEvents::refused() const
{
    send(UpdateEvent::OperationRefused, EventValue(std::uint64_t(0)));
}

void EngineEvents::finished(std::int32_t result) const
{
    send(UpdateEvent::Finished, EventValue(result));
}

void EngineEvents::send(UpdateEvent::Kind kind, const EventValue& first) const
{
    UpdateEvent event{kind, first, EventValue(std::uint64_t(0))};
    if (sink_)
        sink_->onEvent(event);
}

}  // namespace engine_detail
