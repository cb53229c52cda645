#include "SupportTestUtil.h"

#include "support/InfoFile.h"

#include <locale>

using testutil::writeFile;

class IncludeDirectiveTest : public TempDirTest,
                             public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(IncludeDirectiveTest, MatchesTheReadersOwnRule)
{
    writeFile("f.info", std::string("key value\n") + GetParam().first + "\nother 1\n");
    EXPECT_EQ(GetParam().second, hasIncludeDirective(L"f.info")) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IncludeDirectiveTest,
    ::testing::Values(std::make_pair("#include \"x\"", true), std::make_pair("\t #include x", true),
                      std::make_pair("# include x", true), std::make_pair("#include;x", true),
                      std::make_pair("#include\r", true), std::make_pair("#include", true),
                      std::make_pair("#includes x", false), std::make_pair("a #include x", false),
                      std::make_pair("#inc", false), std::make_pair("\"#include\" x", false),
                      std::make_pair("; #include x", false)));

class InfoTextTest : public TempDirTest {};

TEST_F(InfoTextTest, ReadsBackAsItWas)
{
    const InfoEntries written = {{"#notes.txt", "1"},
                                 {"# include x", ""},
                                 {"a b", "{ ; }"},
                                 {"q\"\\\t\r", "#"},
                                 {"plain", "20170301_000000"}};
    writeFile("f.info", infoText(written));
    InfoEntries read;
    std::string error;
    EXPECT_EQ(InfoRead::Read, readInfoFile(L"f.info", read, error)) << error;
    EXPECT_EQ(written, read);
}

TEST(ScopedUserLocaleTest, RestoresThePreviousLocale)
{
    const std::string before = std::locale().name();
    {
        ScopedUserLocale user;
        EXPECT_NO_THROW(std::locale());
    }
    EXPECT_EQ(before, std::locale().name());
}
