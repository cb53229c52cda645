// The resources of the shipped Launcher.exe, read back from the executable file:
// the dialog template byte for byte, the icon, the manifest.

#include "res/resource.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// The executable under test, as a Windows path (set by CTest).
std::wstring launcherPath()
{
    const char* path = std::getenv("LAUNCHER_EXE_WIN");
    return path ? std::wstring(path, path + std::strlen(path)) : std::wstring();
}

class LauncherResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring path = launcherPath();
        ASSERT_FALSE(path.empty()) << "LAUNCHER_EXE_WIN is not set";
        module_ =
            LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load the resources of Launcher.exe, error " << GetLastError();
    }
    void TearDown() override
    {
        if (module_)
            FreeLibrary(module_);
    }

    std::vector<std::uint8_t> resource(LPCWSTR type, LPCWSTR name, WORD language = 0xFFFF)
    {
        HRSRC info = language == 0xFFFF ? FindResourceW(module_, name, type)
                                        : FindResourceExW(module_, type, name, language);
        if (!info)
            return {};
        HGLOBAL loaded = LoadResource(module_, info);
        const std::uint8_t* data = static_cast<const std::uint8_t*>(LockResource(loaded));
        return data ? std::vector<std::uint8_t>(data, data + SizeofResource(module_, info))
                    : std::vector<std::uint8_t>();
    }

    HMODULE module_ = nullptr;
};

// Reads the little-endian fields of a resource in order.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& data) : data_(data) {}

    std::uint16_t word()
    {
        std::uint16_t value = 0;
        take(&value, 2);
        return value;
    }
    std::uint32_t dword()
    {
        std::uint32_t value = 0;
        take(&value, 4);
        return value;
    }
    std::int16_t shortValue() { return static_cast<std::int16_t>(word()); }
    std::uint8_t byte()
    {
        std::uint8_t value = 0;
        take(&value, 1);
        return value;
    }
    std::wstring text()
    {
        std::wstring value;
        for (std::uint16_t c = word(); c != 0 && ok_; c = word())
            value += static_cast<wchar_t>(c);
        return value;
    }
    // A name or ordinal field: "" for none, "#<n>" for an ordinal, else the text.
    std::wstring nameOrOrdinal()
    {
        const std::uint16_t first = word();
        if (first == 0)
            return std::wstring();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(word());
        std::wstring value(1, static_cast<wchar_t>(first));
        return value + text();
    }
    void alignToDword() { offset_ = (offset_ + 3) & ~std::size_t(3); }
    void skip(std::size_t count) { offset_ += count; }
    bool ok() const { return ok_ && offset_ <= data_.size(); }

private:
    void take(void* out, std::size_t size)
    {
        if (offset_ + size > data_.size()) {
            ok_ = false;
            return;
        }
        std::memcpy(out, data_.data() + offset_, size);
        offset_ += size;
    }

    const std::vector<std::uint8_t>& data_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

std::wstring lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

struct ExpectedControl {
    const wchar_t* windowClass;  // lower case; ordinal 0x82 is the system's static class
    std::uint32_t id;
    std::int16_t x, y, width, height;
    std::uint32_t style;
    const wchar_t* text;
};

TEST_F(LauncherResources, DialogTemplateInChineseMatchesTheLayout)
{
    const std::vector<std::uint8_t> data = resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_LAUNCHER_DIALOG),
                                                    MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    ASSERT_FALSE(data.empty()) << "no dialog 102 in Chinese (PRC)";
    Reader in(data);

    EXPECT_EQ(in.word(), 1);  // extended template
    EXPECT_EQ(in.word(), 0xFFFF);
    EXPECT_EQ(in.dword(), 0u);  // help id
    EXPECT_EQ(in.dword(), static_cast<std::uint32_t>(WS_EX_APPWINDOW));
    EXPECT_EQ(in.dword(), static_cast<std::uint32_t>(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                                                     DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS));
    const std::uint16_t count = in.word();
    EXPECT_EQ(count, 4);
    EXPECT_EQ(in.shortValue(), 0);
    EXPECT_EQ(in.shortValue(), 0);
    EXPECT_EQ(in.shortValue(), 303);
    EXPECT_EQ(in.shortValue(), 87);
    EXPECT_EQ(in.nameOrOrdinal(), L"");  // no menu
    EXPECT_EQ(in.nameOrOrdinal(), L"");  // the system's dialog class
    EXPECT_EQ(in.text(), L"Launcher");
    EXPECT_EQ(in.word(), 9);  // points
    EXPECT_EQ(in.word(), 0);  // normal weight
    EXPECT_EQ(in.byte(), 0);  // not italic
    EXPECT_EQ(in.byte(), 0);  // default character set
    EXPECT_EQ(in.text(), L"MS Shell Dlg");

    const std::uint32_t childVisible = WS_CHILD | WS_VISIBLE;
    const ExpectedControl expected[] = {
        {L"msctls_progress32", IDC_PROGRESS, 8, 31, 289, 14, childVisible | WS_BORDER, L""},
        {L"#130", IDC_STATUS, 10, 10, 163, 8, childVisible | WS_GROUP | SS_LEFT, L"正在检测更新..."},
        // Under the bar and above the slogan, as wide as the bar: total, rate, time left.
        {L"#130", IDC_TRANSFER, 10, 50, 287, 8, childVisible | WS_GROUP | SS_LEFT, L""},
        {L"#130", 0xFFFFFFFFu, 10, 66, 194, 8, childVisible | WS_GROUP | SS_LEFT,
         L"望楚汉峥嵘，筑王朝霸业！给你不一样的认知，KelvaOnline！"},
    };
    ASSERT_EQ(count, sizeof expected / sizeof expected[0]);
    for (const ExpectedControl& control : expected) {
        SCOPED_TRACE(control.id);
        in.alignToDword();
        EXPECT_EQ(in.dword(), 0u);  // help id
        EXPECT_EQ(in.dword(), 0u);  // extended style
        EXPECT_EQ(in.dword(), control.style);
        EXPECT_EQ(in.shortValue(), control.x);
        EXPECT_EQ(in.shortValue(), control.y);
        EXPECT_EQ(in.shortValue(), control.width);
        EXPECT_EQ(in.shortValue(), control.height);
        EXPECT_EQ(in.dword(), control.id);
        // Window class names are not case-sensitive.
        EXPECT_EQ(lower(in.nameOrOrdinal()), control.windowClass);
        EXPECT_EQ(in.nameOrOrdinal(), control.text);
        in.skip(in.word());  // creation data
    }
    EXPECT_TRUE(in.ok()) << "the template ends early";
}

TEST_F(LauncherResources, IconIsOne256PixelImageWithAlpha)
{
    const std::vector<std::uint8_t> group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_FALSE(group.empty()) << "no icon 128";
    Reader in(group);
    EXPECT_EQ(in.word(), 0);
    EXPECT_EQ(in.word(), 1);  // icons
    ASSERT_EQ(in.word(), 1);  // one image
    EXPECT_EQ(in.byte(), 0);  // width 256
    EXPECT_EQ(in.byte(), 0);  // height 256
    EXPECT_EQ(in.byte(), 0);  // no palette
    in.byte();
    EXPECT_EQ(in.word(), 1);   // planes
    EXPECT_EQ(in.word(), 32);  // bits per pixel
    const std::uint32_t bytes = in.dword();
    const std::uint16_t imageId = in.word();
    ASSERT_TRUE(in.ok());

    const std::vector<std::uint8_t> image = resource(RT_ICON, MAKEINTRESOURCEW(imageId));
    ASSERT_EQ(image.size(), bytes);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER) + 256u * 256u * 4u);
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biWidth, 256);
    EXPECT_EQ(header.biHeight, 512);  // colour and mask
    EXPECT_EQ(header.biBitCount, 32);

    // Our drawing has rounded corners: transparent there, opaque in the middle.
    const std::uint8_t* pixels = image.data() + header.biSize;
    const auto alpha = [&](int x, int y) { return pixels[(std::size_t(255 - y) * 256 + x) * 4 + 3]; };
    EXPECT_EQ(alpha(0, 0), 0);
    EXPECT_EQ(alpha(255, 255), 0);
    EXPECT_EQ(alpha(128, 128), 255);
}

TEST_F(LauncherResources, ManifestAsksForAdministratorAndCommonControls6)
{
    const std::vector<std::uint8_t> data = resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    ASSERT_FALSE(data.empty()) << "no manifest resource 1";
    const std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("version=\"6.0.0.0\""), std::string::npos) << manifest;
}

}  // namespace
