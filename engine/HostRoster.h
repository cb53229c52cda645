#pragma once
// Which hosts a run still uses, and in which order, for the download hosts of
// the file group and for the version servers. Safe to call from several
// transfer lanes at once; each call takes the roster's own lock briefly.

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace engine_detail {

// Download hosts: one that failed `setAsideAfter` times in a row is passed
// over for the rest of the run, but never the last one still in use.
class HostRoster {
public:
    static constexpr int kDefaultSetAsideAfter = 3;
    explicit HostRoster(int setAsideAfter = kDefaultSetAsideAfter) : setAsideAfter_(setAsideAfter) {}

    // `hosts` in their order, without those set aside.
    std::vector<std::string> inUse(const std::vector<std::string>& hosts) const;
    // Counts a failure of `host`, one of `hosts`; true when it set the host aside.
    bool failed(const std::vector<std::string>& hosts, const std::string& host);
    // A host that delivered starts its count afresh.
    void succeeded(const std::string& host);
    // A new run: every host in use again.
    void clear();

private:
    mutable std::mutex mutex_;
    const int setAsideAfter_;
    std::map<std::string, int> failures_;
    std::set<std::string> setAside_;
};

// Version servers: tried in their order from the one after the last that
// answered wrongly, round.
class HostOrder {
public:
    // `hosts` rotated so that the one to ask first comes first.
    std::vector<std::string> ordered(std::vector<std::string> hosts) const;
    // The host at `at` in the last ordered() list of `count` answered wrongly:
    // the next one goes first from now on.
    void answeredWrongly(std::size_t at, std::size_t count);
    void clear();

private:
    mutable std::mutex mutex_;
    std::size_t first_ = 0;
};

}  // namespace engine_detail
