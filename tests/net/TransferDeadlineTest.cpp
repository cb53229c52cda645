#include "net/TransferDeadline.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using gametool::RateShare;

struct ShareCase {
    const char* name;
    std::uint64_t total;
    int busy;
    std::uint64_t share;
};

class RateShareTest : public testing::TestWithParam<ShareCase> {};

// The share follows the transfers busy now, not the lanes planned: the last
// file of a pass is held to the whole rate.
TEST_P(RateShareTest, FollowsTheBusyTransfers)
{
    const ShareCase& c = GetParam();
    const auto share = std::make_shared<RateShare>(c.total);
    std::vector<std::unique_ptr<RateShare::Busy>> busy;
    for (int i = 0; i < c.busy; ++i)
        busy.push_back(std::make_unique<RateShare::Busy>(share));
    EXPECT_EQ(c.share, share->share());
    busy.clear();
    EXPECT_EQ(c.total, share->share());
}

INSTANTIATE_TEST_SUITE_P(Lanes, RateShareTest,
                         testing::Values(ShareCase{"NoneBusy", 16384, 0, 16384},
                                         ShareCase{"LastOfEight", 16384, 1, 16384},
                                         ShareCase{"EightBusy", 16384, 8, 2048},
                                         // Never below a byte a second.
                                         ShareCase{"MoreThanTheRate", 4, 64, 1}),
                         [](const testing::TestParamInfo<ShareCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
