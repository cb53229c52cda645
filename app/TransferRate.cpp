#include "app/TransferRate.h"

namespace {

const std::uint64_t kLineKiB = 1024;
const std::uint64_t kLineMiB = 1024 * 1024;
const std::uint64_t kLineGiB = 1024 * kLineMiB;

// One decimal of gigabytes or megabytes from 1 MB on, whole kilobytes below;
// integers only, so that no locale changes the text.
std::wstring sizeText(std::uint64_t bytes)
{
    if (bytes < kLineMiB)
        return std::to_wstring(bytes / kLineKiB) + L" KB";
    const std::uint64_t unit = bytes < kLineGiB ? kLineMiB : kLineGiB;
    // Tenths without overflow for any count.
    const std::uint64_t tenths = bytes / unit * 10 + bytes % unit * 10 / unit;
    return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) +
           (unit == kLineMiB ? L" MB" : L" GB");
}

std::wstring rateText(std::uint64_t bytesPerSecond)
{
    return sizeText(bytesPerSecond) + L"/秒";
}

std::wstring twoDigits(std::uint64_t value)
{
    return (value < 10 ? L"0" : L"") + std::to_wstring(value);
}

// "m:ss", or "h:mm:ss" from an hour on.
std::wstring durationText(std::uint64_t seconds)
{
    const std::uint64_t hours = seconds / 3600, minutes = seconds / 60 % 60;
    const std::wstring rest = twoDigits(seconds % 60);
    if (hours == 0)
        return std::to_wstring(minutes) + L":" + rest;
    return std::to_wstring(hours) + L":" + twoDigits(minutes) + L":" + rest;
}

}  // namespace

constexpr std::chrono::seconds TransferRate::kWindow;

void TransferRate::sample(Clock::time_point now, std::uint64_t received, std::uint64_t total)
{
    if (total != m_total || (!m_samples.empty() && received < m_samples.back().received))
        m_samples.clear();
    m_total = total;
    m_samples.push_back(Sample{now, received});
    while (m_samples.front().at < now - kWindow)
        m_samples.pop_front();
}

std::wstring TransferRate::text() const
{
    if (m_total == 0 || m_samples.empty())
        return std::wstring();
    // Below 1 KB the total still reads as something to download.
    const std::wstring total = L"共需下载 " + sizeText(m_total < kLineKiB ? kLineKiB : m_total);
    const Sample& first = m_samples.front();
    const Sample& last = m_samples.back();
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(last.at - first.at).count();
    if (span <= 0)
        return total;
    const std::uint64_t rate = (last.received - first.received) * 1000 / std::uint64_t(span);
    if (rate == 0)
        return total + L"，速度 " + rateText(0) + L"，剩余时间未知";
    // Bytes a failed host sent count as received, so the count may pass the total.
    const std::uint64_t left = m_total > last.received ? m_total - last.received : 0;
    return total + L"，速度 " + rateText(rate) + L"，剩余约 " + durationText((left + rate - 1) / rate);
}
