#include "app/CLauncherDlg.h"
#include "app/UpdateController.h"
#include "app/console/ConsoleWindow.h"
#include "platform/Platform.h"
#include "tests/app/EngineSetups.h"
#include "tests/common/Directories.h"

#include <boost/filesystem/fstream.hpp>

#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

namespace {

class ConsoleOutput {
public:
    ConsoleOutput() : path_("console.txt"), file_(std::fopen(path_.c_str(), "w")) {}
    ~ConsoleOutput() { std::fclose(file_); }

    std::FILE* file() const { return file_; }

    std::string text() const
    {
        boost::filesystem::ifstream in(path_, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // Waits for `part` to appear; the window writes on its own thread.
    bool waitFor(const std::string& part) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text().find(part) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    std::string path_;
    std::FILE* file_;
};

ConsoleWindow::Options plainOptions(const ConsoleOutput& output, std::vector<int>* exits = nullptr)
{
    ConsoleWindow::Options options;
    options.out = output.file();
    options.exit = [exits](int status) {
        if (exits)
            exits->push_back(status);
    };
    return options;
}

}  // namespace

TEST(ConsoleWindowTest, WithoutATerminalEachStatusIsOneLineAndAFailureClosesTheWindow)
{
    fixtures::WorkingDirectory directory;
    ConsoleOutput output;
    ConsoleWindow window(plainOptions(output));
    CLauncherDlg dialog(window, &unreachableServers);
    dialog.DoModal();
    EXPECT_EQ(output.text(), "正在检测更新...\n更新失败,无法连接到服务器\n");
}

struct DrawCase {
    bool inPlace;
    const char* progressShown;
};

class ConsoleTimerTest : public ::testing::TestWithParam<DrawCase> {};

// The engine's part is played by a second thread: a total, a piece, then a result.
TEST_P(ConsoleTimerTest, ProgressIsRedrawnByTheOneSecondTimer)
{
    fixtures::WorkingDirectory directory;
    ConsoleOutput output;
    ConsoleWindow::Options options = plainOptions(output);
    options.drawInPlace = GetParam().inPlace;
    ConsoleWindow window(options);
    HeldEngine engine;
    std::promise<UpdateController*> created;
    CLauncherDlg dialog(window, [&](StarterWorker& worker) {
        engine.setup()(worker);
        created.set_value(dialog.controller());
    });

    std::thread engineThread([&] {
        UpdateController* controller = created.get_future().get();
        UpdateEvent total{UpdateEvent::Progress, EventValue(std::uint64_t(0)),
                          EventValue(std::uint64_t(2048))};
        controller->onEvent(total);
        UpdateEvent piece{UpdateEvent::BytesReceived, EventValue(std::uint64_t(1024)),
                          EventValue(std::uint64_t(0))};
        controller->onEvent(piece);
        EXPECT_TRUE(output.waitFor(GetParam().progressShown)) << output.text();
        UpdateEvent finished{UpdateEvent::Finished, EventValue(std::int32_t(1)),
                             EventValue(std::uint64_t(0))};
        controller->onEvent(finished);
    });
    dialog.DoModal();
    engineThread.join();
    engine.release();

    const std::string text = output.text();
    EXPECT_NE(text.find("更新失败"), std::string::npos) << text;
    if (GetParam().inPlace) {
        EXPECT_NE(text.find("Launcher"), std::string::npos);
        EXPECT_NE(text.find("望楚汉峥嵘，筑王朝霸业！给你不一样的认知，KelvaOnline！"), std::string::npos);
        EXPECT_NE(text.find("\033[4F"), std::string::npos) << "redrawn in place";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ConsoleTimerTest,
                         ::testing::Values(DrawCase{false, "正在更新:1/2KB 50%\n"},
                                           DrawCase{true,
                                                    "[####################                    ]  50%"}));

TEST(ConsoleWindowTest, SendFromAnotherThreadWaitsForTheUiThreadAndSendAfterCloseReturnsAtOnce)
{
    fixtures::WorkingDirectory directory;
    ConsoleOutput output;
    ConsoleWindow window(plainOptions(output));
    HeldEngine engine;
    std::promise<std::thread::id> uiThread;
    CLauncherDlg dialog(window, [&](StarterWorker& worker) {
        engine.setup()(worker);
        uiThread.set_value(std::this_thread::get_id());
    });

    std::intptr_t progressResult = 0;
    std::thread sender([&] {
        uiThread.get_future().wait();
        progressResult = dialog.sendMessage(WM_UPDATE_PROGRESS, 0, 0);
        window.close();
    });
    dialog.DoModal();
    sender.join();
    EXPECT_EQ(progressResult, 1) << "the handler's result comes back to the sender";

    std::intptr_t late = -1;
    std::thread lateSender([&] { late = window.sendMessage(WM_UPDATE_FINISHED, 0, 0); });
    lateSender.join();
    EXPECT_EQ(late, 0);
    EXPECT_FALSE(dialog.hasResult());
    engine.release();
}

TEST(ConsoleWindowTest, SuccessWithAFailedHandOffShowsTheBoxAndExitsWithZero)
{
    fixtures::WorkingDirectory directory;
    ConsoleOutput output;
    std::vector<int> exits;
    ConsoleWindow window(plainOptions(output, &exits));
    HeldEngine engine;
    std::promise<UpdateController*> created;
    CLauncherDlg dialog(window, [&](StarterWorker& worker) {
        engine.setup()(worker);
        created.set_value(dialog.controller());
    });
    std::vector<std::wstring> boxes;
    const platform::MessageBoxHandler previous =
        platform::setMessageBoxHandler([&](const std::wstring& text, const std::wstring& caption, unsigned) {
            boxes.push_back(caption + L":" + text);
        });

    std::thread engineThread([&] {
        UpdateEvent finished{UpdateEvent::Finished, EventValue(std::int32_t(0)),
                             EventValue(std::uint64_t(0))};
        created.get_future().get()->onEvent(finished);
        window.close();  // a test's exit returns; the real one would not
    });
    dialog.DoModal();
    engineThread.join();
    engine.release();
    platform::setMessageBoxHandler(previous);

    EXPECT_EQ(boxes, std::vector<std::wstring>{L"严重错误:启动登陆器失败"});
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(output.text(), "正在检测更新...\n更新完成 100%\n");
}
