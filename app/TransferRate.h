#pragma once
// The line under the progress bar, in both front ends: how much the downloads
// bring in all (the Progress event's total), then the rate and the time left,
// from the byte counts sampled at each timer tick. The rate is taken over the
// last few seconds only, so that it follows a link that speeds up or slows down,
// and forgets a host it left. Never throws but bad_alloc.

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

class TransferRate {
public:
    typedef std::chrono::steady_clock Clock;
    static constexpr std::chrono::seconds kWindow{5};

    // A count below the last one, or another total, starts a new pass: what
    // came before says nothing about it.
    void sample(Clock::time_point now, std::uint64_t received, std::uint64_t total);
    // "共需下载 45.0 MB" from the first sample with a total, then
    // "共需下载 45.0 MB，速度 1.2 MB/秒，剩余约 0:42" once two samples span some
    // time; empty while there is nothing to download.
    std::wstring text() const;

private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t received;
    };
    std::deque<Sample> m_samples;
    std::uint64_t m_total = 0;
};
