#pragma once
// After a failed accept (out of descriptors or similar), the listening port is
// tried again a little later rather than in a busy loop.

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>

// Calls `accept` once `retry` fires, unless `stopping` is set by then; `stopping`
// must outlive the wait.
inline void acceptLater(boost::asio::steady_timer& retry, const bool& stopping, std::function<void()> accept)
{
    retry.expires_after(std::chrono::milliseconds(100));
    retry.async_wait([&stopping, accept = std::move(accept)](const boost::system::error_code& error) {
        if (!error && !stopping)
            accept();
    });
}
