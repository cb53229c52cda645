#pragma once
// The version server's figures for a monitoring system, and the text that shows
// them in the Prometheus exposition format (version 0.0.4). Every name starts
// with "version_server_", counts end in "_total", times are in seconds and sizes
// in bytes; labels take a handful of fixed values only, and never a player's
// address. Changed and read on the network thread only. Never throws but bad_alloc.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

namespace versionserver {

// How a request ended, one label value each.
enum class Outcome {
    Sent,       // the content went out whole
    Current,    // the client's copy is current: an empty reply
    Refused,    // not served: missing, outside the root, bad encoding, too large
    Error,      // no whole answer: the client left, the file changed in place, the system refused
    Malformed,  // not the protocol: bad greeting, bad request, request too long
};
const std::size_t kOutcomes = 5;

// What the server serves now, as the metrics show it.
struct ServedRelease {
    bool serving = false;  // the first release is digested and the port listens
    std::string directory;
    bool signedRelease = false;
    std::uint64_t number = 0;
    std::int64_t expires = 0;  // seconds since 1970-01-01 00:00 UTC
    std::size_t files = 0;
    double digestSeconds = 0;  // of the last walk that made a release ready
};

// Upper bounds of the request-duration histogram: from a reply read from the
// page cache on a LAN to a large file through a slow line.
const std::array<double, 10> kDurationBuckets = {0.001, 0.005, 0.025, 0.1, 0.5, 2.5, 10, 60, 300, 1800};

class Metrics {
public:
    // One request ended after `took`, with `bytes` of reply on the wire.
    void request(Outcome outcome, std::uint64_t bytes, std::chrono::steady_clock::duration took);
    // A connection that broke the protocol before a request could be answered.
    void malformed() { ++outcomes_[std::size_t(Outcome::Malformed)]; }
    void accepted() { ++accepted_; }
    void evicted() { ++evictions_; }

    // Answered requests (all but the malformed ones), bytes sent, evictions.
    std::uint64_t requests() const;
    std::uint64_t bytesSent() const { return bytesSent_; }
    std::uint64_t evictions() const { return evictions_; }

    // The whole exposition text.
    std::string exposition(std::size_t openConnections, std::uint64_t droppedLines,
                           const ServedRelease& release) const;

private:
    std::array<std::uint64_t, kOutcomes> outcomes_{};
    std::uint64_t bytesSent_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t evictions_ = 0;
    std::array<std::uint64_t, kDurationBuckets.size()> buckets_{};  // not cumulative
    std::uint64_t durations_ = 0;
    double durationSum_ = 0;
};

}  // namespace versionserver
