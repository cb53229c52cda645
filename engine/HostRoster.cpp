#include "engine/HostRoster.h"

#include <algorithm>

namespace engine_detail {

std::vector<std::string> HostRoster::inUse(const std::vector<std::string>& hosts) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> used;
    for (const std::string& host : hosts) {
        if (!setAside_.count(host))
            used.push_back(host);
    }
    return used;
}

bool HostRoster::failed(const std::vector<std::string>& hosts, const std::string& host)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (setAside_.count(host) || ++failures_[host] < setAsideAfter_)
        return false;
    // Without a last host nothing could arrive at all.
    const bool otherInUse = std::any_of(hosts.begin(), hosts.end(), [&](const std::string& other) {
        return other != host && !setAside_.count(other);
    });
    if (!otherInUse)
        return false;
    setAside_.insert(host);
    return true;
}

void HostRoster::succeeded(const std::string& host)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.erase(host);
}

void HostRoster::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.clear();
    setAside_.clear();
}

std::vector<std::string> HostOrder::ordered(std::vector<std::string> hosts) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hosts.empty())
        std::rotate(hosts.begin(), hosts.begin() + std::ptrdiff_t(first_ % hosts.size()), hosts.end());
    return hosts;
}

void HostOrder::answeredWrongly(std::size_t at, std::size_t count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > 1)
        first_ = (first_ % count + at + 1) % count;
}

void HostOrder::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    first_ = 0;
}

}  // namespace engine_detail
