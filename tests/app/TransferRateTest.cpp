// The line under the progress bar, shared by the terminal and the dialog box.

#include "app/TransferRate.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

struct RateCase {
    const char* label;
    std::vector<std::pair<int, std::uint64_t>> samples;  // (milliseconds, bytes received)
    std::uint64_t total;
    const wchar_t* shown;
};

class TransferRateTest : public ::testing::TestWithParam<RateCase> {};

TEST_P(TransferRateTest, TotalFirstThenRateAndTimeLeftFromTheLastFiveSeconds)
{
    TransferRate rate;
    const TransferRate::Clock::time_point start;
    for (const auto& s : GetParam().samples)
        rate.sample(start + std::chrono::milliseconds(s.first), s.second, GetParam().total);
    EXPECT_EQ(rate.text(), GetParam().shown);
}

const std::uint64_t kMiB = 1024 * 1024;
INSTANTIATE_TEST_SUITE_P(
    Rows, TransferRateTest,
    ::testing::Values(
        RateCase{"TotalFromTheFirstSample", {{0, 0}}, 45 * kMiB, L"共需下载 45.0 MB"},
        RateCase{"Steady",
                 {{0, 0}, {1000, kMiB}, {2000, 3 * kMiB}},
                 45 * kMiB,
                 L"共需下载 45.0 MB，速度 1.5 MB/秒，剩余约 0:28"},
        RateCase{"BurstLeftTheWindow",
                 {{0, 0}, {1000, kMiB}, {2000, kMiB + 1024}, {7000, kMiB + 6144}},
                 kMiB + 67584,
                 L"共需下载 1.0 MB，速度 1 KB/秒，剩余约 1:00"},
        RateCase{"Stalled",
                 {{0, 5000}, {1000, 5000}, {2000, 5000}},
                 kMiB,
                 L"共需下载 1.0 MB，速度 0 KB/秒，剩余时间未知"},
        RateCase{"NewPassStartsAfresh", {{0, 0}, {1000, 9000}, {2000, 10}}, kMiB, L"共需下载 1.0 MB"},
        RateCase{"NothingToDownload", {{0, 0}, {1000, 0}}, 0, L""},
        RateCase{"Gigabytes", {{0, 0}}, 5 * 1024 * kMiB + 600 * kMiB, L"共需下载 5.5 GB"},
        RateCase{"UnderAKilobyte", {{0, 0}}, 10, L"共需下载 1 KB"},
        RateCase{"Hours",
                 {{0, 0}, {1000, 1024}},
                 3723 * 1024 + 1024,
                 L"共需下载 3.6 MB，速度 1 KB/秒，剩余约 1:02:03"}),
    [](const ::testing::TestParamInfo<RateCase>& info) { return info.param.label; });

}  // namespace
