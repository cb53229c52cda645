// Which download hosts a run still uses, and which version server it asks first.

#include "engine/HostRoster.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Hosts = std::vector<std::string>;

struct RosterCase {
    const char* label;
    Hosts hosts;
    // "-a" a failure of a, "+a" a success of a, in order.
    std::vector<std::string> steps;
    Hosts inUse;
};
class HostRosterTable : public testing::TestWithParam<RosterCase> {};

TEST_P(HostRosterTable, SetsAsideAfterFailuresInARowButNeverTheLast)
{
    const RosterCase& c = GetParam();
    engine_detail::HostRoster roster;
    for (const std::string& step : c.steps) {
        if (step[0] == '-')
            roster.failed(c.hosts, step.substr(1));
        else
            roster.succeeded(step.substr(1));
    }
    EXPECT_EQ(roster.inUse(c.hosts), c.inUse);
    roster.clear();
    EXPECT_EQ(roster.inUse(c.hosts), c.hosts);
}

INSTANTIATE_TEST_SUITE_P(
    Local, HostRosterTable,
    testing::Values(RosterCase{"TwoFailuresKeepIt", {"a", "b"}, {"-a", "-a"}, {"a", "b"}},
                    RosterCase{"ThreeInARowSetItAside", {"a", "b"}, {"-a", "-a", "-a"}, {"b"}},
                    RosterCase{
                        "ASuccessStartsAfresh", {"a", "b"}, {"-a", "-a", "+a", "-a", "-a"}, {"a", "b"}},
                    RosterCase{"TheLastIsKept", {"a", "b"}, {"-a", "-a", "-a", "-b", "-b", "-b"}, {"b"}},
                    RosterCase{"AloneNeverSetAside", {"a"}, {"-a", "-a", "-a", "-a"}, {"a"}},
                    RosterCase{"OrderStays", {"c", "a", "b"}, {"-a", "-a", "-a"}, {"c", "b"}}),
    [](const testing::TestParamInfo<RosterCase>& info) { return info.param.label; });

struct OrderCase {
    const char* label;
    Hosts hosts;
    // Positions in the order of that moment that answered wrongly.
    std::vector<std::size_t> wrong;
    Hosts ordered;
};
class HostOrderTable : public testing::TestWithParam<OrderCase> {};

TEST_P(HostOrderTable, AfterAWrongAnswerTheNextGoesFirst)
{
    const OrderCase& c = GetParam();
    engine_detail::HostOrder order;
    for (std::size_t at : c.wrong)
        order.answeredWrongly(at, c.hosts.size());
    EXPECT_EQ(order.ordered(c.hosts), c.ordered);
}

INSTANTIATE_TEST_SUITE_P(Local, HostOrderTable,
                         testing::Values(OrderCase{"AsConfigured", {"a", "b"}, {}, {"a", "b"}},
                                         OrderCase{"FirstWrong", {"a", "b"}, {0}, {"b", "a"}},
                                         OrderCase{"BothWrongInTurn", {"a", "b"}, {0, 0}, {"a", "b"}},
                                         OrderCase{
                                             "SecondWrongOfThree", {"a", "b", "c"}, {1}, {"c", "a", "b"}},
                                         OrderCase{"OneHostStays", {"a"}, {0}, {"a"}}),
                         [](const testing::TestParamInfo<OrderCase>& info) { return info.param.label; });

}  // namespace
