#pragma once
// How long a transfer may take, for both clients (the version client and the
// HTTP downloader), and the one deadline each connection keeps.
//
// Two rules. A step (resolve, connect, send, each read) that makes no progress
// within `step` fails. And once `grace` has passed since a transfer started,
// its average rate from its first byte on must keep its share of the least
// rate: a sender that trickles is cut off whatever size it announced, and a
// reply's head counts as much as its body. Never throws.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace gametool {

struct TransferLimits {
    // How long a step may go without progress. Tests shorten it.
    std::chrono::milliseconds step{std::chrono::seconds(10)};
    // 30 s covers a connection's slow start and a stall or two; 16 KiB/s is a
    // rate below which a player would give up anyway.
    std::chrono::milliseconds grace{std::chrono::seconds(30)};
    std::uint64_t minimumRate = 16 * 1024;
};

// The least rate shared by the transfers running side by side: each must keep
// the total divided by those actually busy, so the last file left of a pass is
// held to the whole rate, not to a share fixed by the planned lane count.
class RateShare {
public:
    explicit RateShare(std::uint64_t totalRate) : total_(totalRate) {}
    RateShare(const RateShare&) = delete;
    RateShare& operator=(const RateShare&) = delete;

    // Counts one busy transfer while it lives.
    class Busy {
    public:
        explicit Busy(std::shared_ptr<RateShare> share);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        std::shared_ptr<RateShare> share_;
    };

    // Bytes a second one busy transfer must keep; never below 1.
    std::uint64_t share() const;
    std::uint64_t total() const { return total_; }

private:
    const std::uint64_t total_;
    std::atomic<unsigned> busy_{0};
};

// One timer per connection. Each step moves its expiry before it starts; when
// it fires, `expire` is called (it closes the socket), and the pending step
// fails with operation-aborted. Handlers refer to this object: the I/O context
// must not run them after it is gone (members declared after the context).
class ConnectionDeadline {
public:
    ConnectionDeadline(boost::asio::io_context& io, std::function<void()> expire);
    ConnectionDeadline(const ConnectionDeadline&) = delete;
    ConnectionDeadline& operator=(const ConnectionDeadline&) = delete;

    // Limits for the transfers to come; without a share the whole least rate applies.
    void setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share = nullptr);
    const TransferLimits& limits() const { return limits_; }

    // A transfer starts now: the average rate counts from here.
    void startTransfer();
    // The transfer ended: from now on only steps are timed.
    void endTransfer() { inTransfer_ = false; }
    // Bytes of the transfer that arrived.
    void received(std::uint64_t count) { received_ += count; }
    // Before each step.
    void arm();
    // Between steps nothing is waited for: the timer may fire without effect.
    void disarm() { active_ = false; }
    // The last expiry cut a transfer whose average rate fell below its share.
    bool tooSlow() const { return tooSlow_; }
    // The deadline fired since the last arm().
    bool expired() const { return expired_; }

private:
    std::chrono::steady_clock::time_point rateExpiry() const;
    void wait();
    void onTimer(unsigned generation);

    boost::asio::steady_timer timer_;
    std::function<void()> expire_;
    TransferLimits limits_;
    std::shared_ptr<RateShare> share_;
    bool inTransfer_ = false;
    std::chrono::steady_clock::time_point transferStart_;
    std::uint64_t received_ = 0;
    std::chrono::steady_clock::time_point stepExpiry_;
    std::chrono::steady_clock::time_point expiry_;
    bool active_ = false;
    bool waiting_ = false;
    std::chrono::steady_clock::time_point waitingFor_;
    unsigned generation_ = 0;
    bool tooSlow_ = false;
    bool expired_ = false;
};

}  // namespace gametool
