#pragma once
// Rate and time left of the terminal's bar, from the byte counts sampled at each
// timer tick. The rate is taken over the last few seconds only, so that it
// follows a link that speeds up or slows down, and forgets a host it left.

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
    // "速度 1.2 MB/秒，剩余约 0:42"; empty until two samples span some time.
    std::wstring text() const;

private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t received;
    };
    std::deque<Sample> m_samples;
    std::uint64_t m_total = 0;
};
