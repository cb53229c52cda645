#include "SupportTestUtil.h"

#include "support/TextConvert.h"

TEST(TextConvertTest, NarrowAndWideRoundTrip)
{
    const std::wstring wide = L"更新/中文 é.txt";
    const std::string narrow = wideToNarrow(wide);
    if (narrow.find('?') != std::string::npos)
        GTEST_SKIP() << "the system's code page cannot hold these characters";
    EXPECT_EQ(wide, narrowToWide(narrow));
    EXPECT_EQ(L"ascii", narrowToWide("ascii"));
}

TEST(TextConvertTest, BadBytesNeverThrow)
{
    std::wstring wide;
    // 0xFF begins no character in UTF-8 or in GBK, so the text around it survives.
    ASSERT_NO_THROW(wide = narrowToWide("a\xff"
                                        "b"));
    EXPECT_EQ(L'a', wide.front());
    EXPECT_EQ(L'b', wide.back());
    // A character cut off at the end.
    ASSERT_NO_THROW(wide = narrowToWide("ab\xfe"));
    EXPECT_EQ(L"ab", wide.substr(0, 2));
}

struct JoinCase {
    const wchar_t* left;
    const wchar_t* right;
    bool separatorAdded;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, InsertsASeparatorOnlyWhereNeeded)
{
    const JoinCase& c = GetParam();
    std::wstring separator(1, static_cast<wchar_t>(boost::filesystem::path::preferred_separator));
    std::wstring expected = std::wstring(c.left) + (c.separatorAdded ? separator : L"") + c.right;
    EXPECT_EQ(expected, joinPath(c.left, c.right));
}

INSTANTIATE_TEST_SUITE_P(Cases, JoinPathTest,
                         ::testing::Values(JoinCase{L"updater", L"files.cfg", true},
                                           JoinCase{L"", L"x", false}, JoinCase{L"a/", L"x", false},
                                           JoinCase{L"a\\", L"x", false}, JoinCase{L"C:", L"x", false},
                                           JoinCase{L"a", L"/x", false}, JoinCase{L"a", L"\\x", false},
                                           JoinCase{L"a", L"", false}));

TEST(Utf8Test, RoundTripAndStopAtTheFirstZero)
{
    const std::wstring wide = L"\"C:\\游戏\\Launcher.exe\" \"é \U0001F600\"";
    std::string utf8;
    WideToUtf8(wide.c_str(), utf8);
    EXPECT_EQ("\"C:\\\xE6\xB8\xB8\xE6\x88\x8F\\Launcher.exe\" \"\xC3\xA9 \xF0\x9F\x98\x80\"", utf8);
    std::wstring back;
    Utf8ToWide(utf8, back);
    EXPECT_EQ(wide, back);

    WideToUtf8(L"ab\0cd", utf8);
    EXPECT_EQ("ab", utf8);
    Utf8ToWide(std::string("ab\0cd", 5), back);
    EXPECT_EQ(L"ab", back);
    Utf8ToWide("x\xC3", back);
    EXPECT_EQ(L"x\xFFFD", back) << "a cut sequence becomes a replacement character";
}
