#include "SupportTestUtil.h"

#include "support/BlockIndex.h"

#include <cstring>
#include <functional>

using fixtures::randomBytes;

namespace {

// An index of a file of 2 MiB and a bit: three large blocks.
const std::string& goodIndex()
{
    static const std::string index = [] {
        testutil::writeFile("indexed.bin", randomBytes(2 * 1024 * 1024 + 5000, 7));
        std::string text;
        std::string reason;
        buildBlockIndex(L"indexed.bin", text, reason);
        return text;
    }();
    return index;
}

struct HostileCase {
    const char* name;
    std::function<void(std::string&)> spoil;
    std::uint64_t groupOffset;  // where the small entries are handed in; 0: the right place
};

class HostileBlockIndex : public TempDirTest, public testing::WithParamInterface<HostileCase> {};

// Every spoilt index is refused with a reason and leaves nothing half read.
TEST_P(HostileBlockIndex, IsRefused)
{
    ASSERT_EQ(BlockIndex::indexSize(2 * 1024 * 1024 + 5000), goodIndex().size());
    std::string index = goodIndex();
    GetParam().spoil(index);
    BlockIndex parsed;
    std::string reason;
    EXPECT_EQ(GetParam().groupOffset != 0, parsed.parseWhole(index.data(), index.size(), reason));
    EXPECT_EQ(GetParam().groupOffset != 0, parsed.parsed());

    // In parts, as a starter fetches it: the top, then the groups from where it asks.
    const std::uint64_t top = BlockIndex::topSize(2 * 1024 * 1024 + 5000);
    const std::uint64_t offset = GetParam().groupOffset ? GetParam().groupOffset : top;
    if (!parsed.parseTop(index.data(), index.size(), reason) || offset > index.size())
        return;
    reason.clear();
    EXPECT_FALSE(parsed.addGroups(offset, index.data() + offset, index.size() - offset, reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(parsed.hasGroup(0));
}

void setU64(std::string& text, std::size_t at, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        text[at + i] = static_cast<char>(value >> (8 * i));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostileBlockIndex,
    testing::Values(HostileCase{"bad_magic", [](std::string& t) { t[0] = 'X'; }, 0},
                    HostileCase{"later_version", [](std::string& t) { t[7] = 2; }, 0},
                    HostileCase{"other_block_size", [](std::string& t) { t[17] = 0x20; }, 0},
                    HostileCase{"longer_digests", [](std::string& t) { t[26] = 32; }, 0},
                    HostileCase{"file_of_a_terabyte", [](std::string& t) { setU64(t, 8, 1ull << 40); }, 0},
                    HostileCase{"file_under_a_large_block", [](std::string& t) { setU64(t, 8, 4096); }, 0},
                    HostileCase{"file_size_without_its_tables", [](std::string& t) { setU64(t, 8, 3 << 20); },
                                0},
                    HostileCase{"top_cut_short", [](std::string& t) { t.resize(40); }, 0},
                    HostileCase{"large_digest_flipped", [](std::string& t) { t[33] ^= 1; }, 0},
                    HostileCase{"small_entry_flipped", [](std::string& t) { t[t.size() - 3] ^= 1; }, 0},
                    HostileCase{"small_table_cut_short", [](std::string& t) { t.resize(t.size() - 8); }, 0},
                    HostileCase{"byte_added", [](std::string& t) { t += 'x'; }, 0},
                    HostileCase{"groups_from_mid_group", [](std::string&) {}, 32 + 3 * 12 + 8},
                    HostileCase{"groups_from_the_top", [](std::string&) {}, 8}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

}  // namespace
