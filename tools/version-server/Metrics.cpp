#include "Metrics.h"

#include "tools/common/NameEncoding.h"

#include <cstdio>

namespace versionserver {

namespace {

const char* const kOutcomeNames[kOutcomes] = {"sent", "current", "refused", "error", "malformed"};

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// A label value must be UTF-8 with \, " and line ends escaped; a directory whose
// name is not UTF-8 shows its other bytes as "?".
std::string labelValue(const std::string& raw)
{
    std::string utf8;
    if (!decodeName(NameEncoding::Utf8, raw, utf8)) {
        utf8 = raw;
        for (char& c : utf8) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                c = '?';
            }
        }
    }
    std::string out;
    for (char c : utf8) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, const std::string& value)
{
    out += name + " " + value + "\n";
}

}  // namespace

void Metrics::request(Outcome outcome, std::uint64_t bytes, std::chrono::steady_clock::duration took)
{
    ++outcomes_[std::size_t(outcome)];
    bytesSent_ += bytes;
    const double seconds = std::chrono::duration<double>(took).count();
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
        if (seconds <= kDurationBuckets[i]) {
            ++buckets_[i];
            break;
        }
    }
    ++durations_;
    durationSum_ += seconds;
}

std::uint64_t Metrics::requests() const
{
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < kOutcomes; ++i) {
        total += i == std::size_t(Outcome::Malformed) ? 0 : outcomes_[i];
    }
    return total;
}

std::string Metrics::exposition(std::size_t openConnections, std::uint64_t droppedLines,
                                const ServedRelease& release) const
{
    std::string out;
    family(out, "version_server_requests_total", "counter",
           "Requests by how they ended: sent, current, refused (not served), error (no whole answer), "
           "malformed (not the protocol).");
    // Every result from the start, so that a rate over one that has not happened yet is 0, not absent.
    for (std::size_t i = 0; i < kOutcomes; ++i) {
        sample(out, std::string("version_server_requests_total{result=\"") + kOutcomeNames[i] + "\"}",
               std::to_string(outcomes_[i]));
    }
    family(out, "version_server_sent_bytes_total", "counter", "Bytes of replies put on the wire.");
    sample(out, "version_server_sent_bytes_total", std::to_string(bytesSent_));
    family(out, "version_server_request_duration_seconds", "histogram",
           "Time from a whole request to the last byte of its reply.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kDurationBuckets.size(); ++i) {
        cumulative += buckets_[i];
        sample(out,
               "version_server_request_duration_seconds_bucket{le=\"" + number(kDurationBuckets[i]) + "\"}",
               std::to_string(cumulative));
    }
    sample(out, "version_server_request_duration_seconds_bucket{le=\"+Inf\"}", std::to_string(durations_));
    sample(out, "version_server_request_duration_seconds_sum", number(durationSum_));
    sample(out, "version_server_request_duration_seconds_count", std::to_string(durations_));
    family(out, "version_server_connections_accepted_total", "counter",
           "Connections accepted on the protocol port.");
    sample(out, "version_server_connections_accepted_total", std::to_string(accepted_));
    family(out, "version_server_open_connections", "gauge", "Connections open on the protocol port.");
    sample(out, "version_server_open_connections", std::to_string(openConnections));
    family(out, "version_server_connections_evicted_total", "counter",
           "Connections closed to make room (connection cap) or refused (per-address cap).");
    sample(out, "version_server_connections_evicted_total", std::to_string(evictions_));
    family(out, "version_server_log_dropped_lines_total", "counter",
           "Request lines dropped because the log's destination was too slow.");
    sample(out, "version_server_log_dropped_lines_total", std::to_string(droppedLines));
    family(out, "version_server_serving", "gauge",
           "1 once the first release is digested and the port listens.");
    sample(out, "version_server_serving", release.serving ? "1" : "0");
    if (!release.serving) {
        return out;
    }
    family(out, "version_server_release_info", "gauge",
           "The release served: its signed number (empty when unsigned) and its directory.");
    sample(out,
           "version_server_release_info{release=\"" +
               (release.signedRelease ? std::to_string(release.number) : std::string()) + "\",directory=\"" +
               labelValue(release.directory) + "\"}",
           "1");
    family(out, "version_server_release_files", "gauge", "Files of the release served.");
    sample(out, "version_server_release_files", std::to_string(release.files));
    if (release.signedRelease) {
        family(out, "version_server_release_expiry_timestamp_seconds", "gauge",
               "When the signature of the release served expires, in seconds since 1970 (UTC).");
        sample(out, "version_server_release_expiry_timestamp_seconds", std::to_string(release.expires));
    }
    family(out, "version_server_last_digest_duration_seconds", "gauge",
           "How long the walk and digests of the last release made ready took.");
    sample(out, "version_server_last_digest_duration_seconds", number(release.digestSeconds));
    return out;
}

}  // namespace versionserver
