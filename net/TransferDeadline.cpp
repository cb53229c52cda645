#include "net/TransferDeadline.h"

#include "support/Log.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace gametool {

RateShare::Busy::Busy(std::shared_ptr<RateShare> share) : share_(std::move(share))
{
    if (share_)
        ++share_->busy_;
}

RateShare::Busy::~Busy()
{
    if (share_)
        --share_->busy_;
}

std::uint64_t RateShare::share() const
{
    const unsigned busy = std::max(busy_.load(), 1u);
    return std::max<std::uint64_t>(total_ / busy, 1);
}

ConnectionDeadline::ConnectionDeadline(boost::asio::io_context& io, std::function<void()> expire)
    : timer_(io), expire_(std::move(expire))
{
}

void ConnectionDeadline::setLimits(const TransferLimits& limits, std::shared_ptr<RateShare> share)
{
    limits_ = limits;
    share_ = std::move(share);
}

void ConnectionDeadline::startTransfer()
{
    inTransfer_ = true;
    transferStart_ = std::chrono::steady_clock::now();
    received_ = 0;
}

// The moment the average rate falls below the share unless more bytes arrive:
// never before the grace period has passed.
std::chrono::steady_clock::time_point ConnectionDeadline::rateExpiry() const
{
    const std::uint64_t rate = share_ ? share_->share() : std::max<std::uint64_t>(limits_.minimumRate, 1);
    // Capped so that the sum cannot overflow the clock: a day is far beyond any step.
    const std::uint64_t kDayMs = 24ull * 3600 * 1000;
    const std::uint64_t covered = std::min(received_ / rate * 1000 + received_ % rate * 1000 / rate, kDayMs);
    const std::chrono::milliseconds earned(std::max<std::uint64_t>(covered, limits_.grace.count()));
    return transferStart_ + earned;
}

void ConnectionDeadline::arm()
{
    stepExpiry_ = std::chrono::steady_clock::now() + limits_.step;
    expiry_ = inTransfer_ ? std::min(stepExpiry_, rateExpiry()) : stepExpiry_;
    active_ = true;
    expired_ = false;
    tooSlow_ = false;
    // A later expiry waits for the timer to fire and sets it again, so that a
    // busy transfer costs no timer calls; an earlier one moves it now.
    if (waiting_ && expiry_ >= waitingFor_)
        return;
    wait();
}

void ConnectionDeadline::wait()
{
    try {
        timer_.expires_at(expiry_);
    } catch (const std::exception& error) {
        Log::instance().write(error.what());
    }
    waiting_ = true;
    waitingFor_ = expiry_;
    const unsigned generation = ++generation_;
    timer_.async_wait([this, generation](const boost::system::error_code& error) {
        // Aborted: replaced by a moved expiry, or the timer is going.
        if (!error)
            onTimer(generation);
    });
}

void ConnectionDeadline::onTimer(unsigned generation)
{
    if (generation != generation_)
        return;
    waiting_ = false;
    if (!active_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now < expiry_) {
        wait();
        return;
    }
    if (now < stepExpiry_) {
        // The rate's expiry: the share may have fallen since it was set, as
        // more transfers became busy.
        const auto rateEnd = rateExpiry();
        if (now < rateEnd) {
            expiry_ = std::min(stepExpiry_, rateEnd);
            wait();
            return;
        }
        tooSlow_ = true;
    }
    active_ = false;
    expired_ = true;
    expire_();
}

}  // namespace gametool
