// File identity on Windows: another letter case and a short 8.3 name lead to
// the same file, which is how the starter recognises its own file.

#include "SupportTestUtil.h"

#include "support/FileManager.h"

#include <windows.h>

namespace {

class FileIdentityTest : public TempDirTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FileIdentityTest, CaseAndShortNameAreTheSameFile)
{
    const std::string narrow = GetParam();
    const std::wstring name(narrow.begin(), narrow.end());
    testutil::writeFile(narrow, "starter");
    testutil::writeFile("other.exe", "other");
    FileManager& files = FileManager::instance();
    std::wstring upper = name;
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    EXPECT_TRUE(files.isSameFile(upper, name));
    EXPECT_FALSE(files.isSameFile(L"other.exe", name));

    wchar_t buffer[MAX_PATH];
    const DWORD length = GetShortPathNameW(name.c_str(), buffer, MAX_PATH);
    const std::wstring alias(buffer, length > 0 && length < MAX_PATH ? length : 0);
    if (alias.empty() || alias == name)
        GTEST_SKIP() << "the volume gives " << narrow << " no short name";
    EXPECT_TRUE(files.isSameFile(alias, name));
}

INSTANTIATE_TEST_SUITE_P(Names, FileIdentityTest, ::testing::Values("Launcher.exe", "LauncherOfTheGame.exe"));

}  // namespace
