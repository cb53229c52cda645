#include "platform/Platform.h"
#include "tests/platform/TestSupport.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = boost::filesystem;
using namespace platformtest;

TEST(ModulePath, IsTheFullPathOfTheRunningProgram)
{
    const fs::path self(platform::modulePath());
    EXPECT_TRUE(self.is_absolute()) << self;
    EXPECT_TRUE(fs::is_regular_file(self)) << self;
    EXPECT_EQ("platform_tests", self.stem().string());
}

TEST(ModulePath, IsNotCutShortInADeepDirectory)
{
    TempDirectory temp;
    fs::path dir = temp.path();
    while (dir.string().size() < 300)
        dir /= "a-rather-long-directory-name";
    fs::create_directories(dir);
    const fs::path program = dir / probePath().filename();
    fs::copy_file(probePath(), program);

    const int status = runAndWait(program, {"module"});
    if (status == -1 && program.extension() == ".exe")
        GTEST_SKIP() << "Windows starts no program from a path this long";
    ASSERT_EQ(0, status);
    EXPECT_EQ(program.string(), readFile(dir / "module.txt"));
}

TEST(Wow64, A64BitProcessIsNeverWow64)
{
    if (sizeof(void*) != 8)
        GTEST_SKIP() << "only a 64-bit process knows the answer in advance";
    EXPECT_FALSE(platform::isWow64());
}

TEST(SingleInstance, IsRefusedToAnotherProcessWhileHeld)
{
    const std::wstring name = uniqueLockName("held");
    ASSERT_TRUE(platform::acquireSingleInstance(name));
    EXPECT_EQ(3, runAndWait(probePath(), {"lock", std::string(name.begin(), name.end())}));
}

TEST(SingleInstance, IsRefusedToASecondAcquisitionInTheSameProcess)
{
    const std::wstring name = uniqueLockName("twice");
    ASSERT_TRUE(platform::acquireSingleInstance(name));
    EXPECT_FALSE(platform::acquireSingleInstance(name));
}

TEST(SingleInstance, IsFreeAgainWhenItsHolderHasEnded)
{
    const std::wstring name = uniqueLockName("released");
    const std::string narrowName(name.begin(), name.end());
    EXPECT_EQ(0, runAndWait(probePath(), {"lock", narrowName}));
    EXPECT_EQ(0, runAndWait(probePath(), {"lock", narrowName}));
    EXPECT_TRUE(platform::acquireSingleInstance(name));
}

struct StartCase {
    const char* label;
    const char* directoryName;
    const wchar_t* parameters;
    std::vector<std::string> expectedArgs;
};

class StartProgram : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartProgram, RunsTheProgramInItsDirectoryWithTheWordsOfTheParameters)
{
    const StartCase& c = GetParam();
    TempDirectory temp;
    const fs::path dir = temp.path() / c.directoryName;
    fs::create_directories(dir);

    platform::StartRequest request;
    request.file = probePath().wstring();
    request.parameters = c.parameters;
    request.directory = dir.wstring();
    ASSERT_TRUE(platform::startProgram(request));

    const std::vector<std::string> lines = waitForLines(dir / "argv.txt");
    ASSERT_GE(lines.size(), 2u) << "the program wrote no arguments";
    EXPECT_TRUE(fs::equivalent(fs::path(lines[0]), dir)) << lines[0];
    EXPECT_TRUE(boost::algorithm::ends_with(lines[1], probePath().filename().string())) << lines[1];
    EXPECT_EQ(c.expectedArgs, std::vector<std::string>(lines.begin() + 2, lines.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, StartProgram,
    ::testing::Values(StartCase{"None", "plain", L"", {}},
                      StartCase{"OneWord", "plain", L"game.exe", {"game.exe"}},
                      StartCase{"RunsOfBlanks", "plain", L" alpha  beta\tgamma ", {"alpha", "beta", "gamma"}},
                      StartCase{"DirectoryWithBlanks", "install dir", L"client -x", {"client", "-x"}}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.label); });

TEST(StartProgramFailure, AMissingProgramIsReported)
{
    TempDirectory temp;
    platform::StartRequest request;
    request.file = (temp.path() / "absent.exe").wstring();
    request.directory = temp.path().wstring();
    EXPECT_FALSE(platform::startProgram(request));
}
