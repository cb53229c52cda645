#include "SupportTestUtil.h"

#include "HostileNames.h"

#include "support/PathSafety.h"
#include "support/TextConvert.h"

#include <boost/filesystem/path.hpp>

#include <algorithm>

namespace {

// The rules on bytes and on wide text agree for ASCII, so one table serves both.
class ConfinedPathTest : public ::testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(ConfinedPathTest, OnlyNamesBelowTheBase)
{
    const std::string name = GetParam().first;
    EXPECT_EQ(GetParam().second, isConfinedRelativePath(name)) << name;
    EXPECT_EQ(GetParam().second, isConfinedRelativePath(std::wstring(name.begin(), name.end()))) << name;
    EXPECT_EQ(GetParam().second, static_cast<bool>(confinedPath(name))) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConfinedPathTest,
    ::testing::Values(
        std::make_pair("a.txt", true), std::make_pair("bin/x.dll", true), std::make_pair("bin\\x.dll", true),
        std::make_pair("a//b", true), std::make_pair("./a", true), std::make_pair("a/../b", true),
        std::make_pair("x/..y", true), std::make_pair("..a", true), std::make_pair("a/", true),
        std::make_pair(".hidden", true), std::make_pair(" lead", true), std::make_pair("comfort.txt", true),
        std::make_pair("COM0", true), std::make_pair("console.log", true), std::make_pair("", false),
        std::make_pair(".", false), std::make_pair("a/..", false), std::make_pair("a\\b\\..\\..", false),
        std::make_pair("..", false), std::make_pair("../a", false), std::make_pair("a/../../b", false),
        std::make_pair("/a", false), std::make_pair("\\a", false), std::make_pair("C:", false),
        std::make_pair("c:a", false), std::make_pair("a:b", false),
        std::make_pair("dir/a.txt:s:$DATA", false), std::make_pair("\\\\host\\share", false),
        std::make_pair("\\\\?\\C:\\a", false), std::make_pair("a/.../b", false),
        std::make_pair("a/.. /b", false), std::make_pair("a./b", false), std::make_pair("b ", false),
        std::make_pair("lpt1.txt", false), std::make_pair("Aux", false), std::make_pair("CONIN$", false),
        std::make_pair("conout$.x", false), std::make_pair("prn .x.y", false)));

TEST(ConfinedWidePathTest, SuperscriptDigitsMakeDeviceNames)
{
    EXPECT_FALSE(isConfinedRelativePath(std::wstring(L"COM\u00B9")));
    EXPECT_FALSE(isConfinedRelativePath(std::wstring(L"a/lpt\u00B3.txt")));
    EXPECT_TRUE(isConfinedRelativePath(std::wstring(L"COM\u2074")));
}

// Where a name is taken, the text the system gets stays strictly below its base
// whichever of the two separators it reads.
bool staysBelowBase(const std::wstring& relative)
{
    std::wstring generic = relative;
    std::replace(generic.begin(), generic.end(), L'\\', L'/');
    const boost::filesystem::path base(L"/base");
    const std::wstring resolved = (base / generic).lexically_normal().generic_wstring();
    return resolved.compare(0, 6, L"/base/") == 0 && resolved.size() > 6 && resolved != L"/base/.";
}

class HostileNames : public ::testing::TestWithParam<hostile::Name> {};

TEST_P(HostileNames, ConfinedPath)
{
    const boost::optional<std::wstring> path = confinedPath(GetParam().bytes);
    if (hostile::refusedHere(GetParam())) {
        EXPECT_FALSE(path);
    }
    if (path) {
        EXPECT_TRUE(staysBelowBase(*path));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileNames, ::testing::ValuesIn(hostile::names()), hostile::label);

}  // namespace
