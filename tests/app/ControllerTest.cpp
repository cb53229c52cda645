#include "app/CLauncherDlg.h"
#include "app/UpdateController.h"
#include "tests/app/RecordingWindow.h"
#include "tests/common/Directories.h"

#include <gtest/gtest.h>

#include <atomic>
#include <locale>
#include <thread>

namespace {

UpdateEvent progress(std::uint64_t current, std::uint64_t total)
{
    return UpdateEvent{UpdateEvent::Progress, EventValue(current), EventValue(total)};
}

UpdateEvent received(std::uint64_t count)
{
    return UpdateEvent{UpdateEvent::BytesReceived, EventValue(count), EventValue(std::uint64_t(0))};
}

UpdateEvent refusal()
{
    return UpdateEvent{UpdateEvent::OperationRefused, EventValue(std::uint64_t(0)),
                       EventValue(std::uint64_t(0))};
}

UpdateEvent result(std::int32_t code)
{
    return UpdateEvent{UpdateEvent::Finished, EventValue(code), EventValue(std::uint64_t(0))};
}

class ControllerTest : public ::testing::Test {
protected:
    ControllerTest() : dialog(window) { window.attach(dialog); }

    void send(UpdateEvent event) { controller.onEvent(event); }

    std::wstring text()
    {
        std::wstring result;
        controller.pollProgress(result, percent);
        return result;
    }

    fixtures::WorkingDirectory directory;
    RecordingWindow window;
    CLauncherDlg dialog;
    UpdateController controller{&dialog, L""};
    std::int32_t percent = -1;
};

}  // namespace

struct TotalCase {
    std::uint64_t total;
    const wchar_t* text;
};

class TotalUnitTest : public ControllerTest, public ::testing::WithParamInterface<TotalCase> {};

TEST_P(TotalUnitTest, TotalIsShownInTheUnitItsSizeCalls)
{
    send(progress(0, GetParam().total));
    EXPECT_EQ(text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, TotalUnitTest,
                         ::testing::Values(TotalCase{1048576, L"正在更新:0/1024KB"},
                                           TotalCase{1048577, L"正在更新:0.0/1.0MB"},
                                           TotalCase{1024, L"正在更新:0/1024"},
                                           TotalCase{1025, L"正在更新:0/1KB"}, TotalCase{1, L"正在更新:0/1"},
                                           TotalCase{0, L"正在更新:0/"},
                                           TotalCase{5368709120ull, L"正在更新:0.0/5120.0MB"}));

struct ProgressCase {
    std::uint64_t total;
    std::uint64_t received;
    const wchar_t* text;
    std::int32_t percent;
};

class ProgressTextTest : public ControllerTest, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(ProgressTextTest, CurrentValueAndPercentage)
{
    send(progress(0, GetParam().total));
    send(received(GetParam().received));
    EXPECT_EQ(text(), GetParam().text);
    EXPECT_EQ(percent, GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Examples, ProgressTextTest,
                         ::testing::Values(ProgressCase{13107200, 3355443, L"正在更新:3.2/12.5MB", 25},
                                           ProgressCase{512000, 256000, L"正在更新:250/500KB", 50},
                                           ProgressCase{800, 300, L"正在更新:300/800", 37},
                                           // KB values are truncated, not rounded
                                           ProgressCase{4096, 2047, L"正在更新:1/4KB", 49},
                                           ProgressCase{1000, 999, L"正在更新:999/1000", 99},
                                           // more than announced: the bar shows full, the number says so
                                           ProgressCase{1000, 1100, L"正在更新:1100/1000", 110},
                                           ProgressCase{0, 0, L"正在更新:0/", 0},
                                           ProgressCase{0, 5000, L"正在更新:5000/", 0}));

TEST_F(ControllerTest, PiecesAddUpAndKeepAdvancingAfterTheLastProgressEvent)
{
    send(progress(0, 2048));
    send(received(512));
    EXPECT_EQ(text(), L"正在更新:0/2KB");
    send(received(512));
    EXPECT_EQ(text(), L"正在更新:1/2KB");
    EXPECT_EQ(percent, 50);
    send(received(1024));
    EXPECT_EQ(text(), L"正在更新:2/2KB");
    EXPECT_EQ(percent, 100);
}

TEST_F(ControllerTest, ProgressEventReplacesCountsAndSwitchesTheUnitDownForBothNumbers)
{
    send(received(700));  // before any total: overwritten by the next Progress event
    send(progress(0, 5 * 1048576));
    send(received(2 * 1048576));
    EXPECT_EQ(text(), L"正在更新:2.0/5.0MB");
    send(progress(100, 800));
    EXPECT_EQ(text(), L"正在更新:100/800");
    EXPECT_EQ(percent, 12);
}

TEST_F(ControllerTest, TextStreamIsEmptiedBetweenPolls)
{
    send(progress(0, 800));
    EXPECT_EQ(text(), L"正在更新:0/800");
    EXPECT_EQ(text(), L"正在更新:0/800");
}

TEST_F(ControllerTest, NumbersIgnoreTheUsersLocale)
{
    struct CommaDecimal : std::numpunct<wchar_t> {
        wchar_t do_decimal_point() const override { return L','; }
        wchar_t do_thousands_sep() const override { return L'.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    send(progress(0, 13107200));
    send(received(1258291));
    const std::wstring shown = text();
    send(progress(0, 1000000));
    send(received(1000));
    const std::wstring kilobytes = text();
    std::locale::global(previous);
    EXPECT_EQ(shown, L"正在更新:1.2/12.5MB");
    EXPECT_EQ(kilobytes, L"正在更新:0/976KB");
}

TEST_F(ControllerTest, EventsBecomeMessagesToTheDialog)
{
    send(progress(0, 10));
    UpdateEvent finished{UpdateEvent::Finished, EventValue(std::int32_t(2)), EventValue(std::uint64_t(0))};
    send(finished);
    const std::vector<std::wstring> expected{L"send:1124:0", L"timer:1:1000", L"send:1125:2", L"kill:1",
                                             L"status:更新失败,无法连接到服务器"};
    EXPECT_EQ(window.calls(), expected);
}

TEST_F(ControllerTest, NegativeResultCodeArrivesUnchanged)
{
    UpdateEvent finished{UpdateEvent::Finished, EventValue(std::int32_t(-5)), EventValue(std::uint64_t(0))};
    send(finished);
    EXPECT_TRUE(dialog.hasResult());
    EXPECT_EQ(dialog.resultCode(), -5);
    EXPECT_TRUE(window.called(L"status:更新失败"));
}

class UnknownKindTest : public ControllerTest, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(UnknownKindTest, ChangesNothing)
{
    send(progress(0, 1000));
    send(received(100));
    const std::size_t callsBefore = window.calls().size();
    UpdateEvent event{GetParam(), EventValue(std::uint64_t(500)), EventValue(std::uint64_t(600))};
    send(event);
    EXPECT_EQ(window.calls().size(), callsBefore);
    EXPECT_EQ(text(), L"正在更新:100/1000");
    EXPECT_EQ(percent, 10);
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnknownKindTest, ::testing::Values(4, 1000, -1));

struct RefusalCase {
    const char* name;
    std::vector<UpdateEvent> events;
    bool windowGone;
    std::vector<std::wstring> calls;
};

class RefusalTest : public ControllerTest, public ::testing::WithParamInterface<RefusalCase> {};

// The engine waits in the send until the dialog has shown the box, so box and
// result reach the player in the order the engine reported them.
TEST_P(RefusalTest, DialogShowsTheBoxInTheEnginesOrder)
{
    if (GetParam().windowGone)
        dialog.onWindowGone();
    for (const UpdateEvent& event : GetParam().events)
        send(event);
    EXPECT_EQ(window.calls(), GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Events, RefusalTest,
                         ::testing::Values(RefusalCase{"BeforeTheFailure",
                                                       {refusal(), refusal(), result(1)},
                                                       false,
                                                       {L"send:1126:0", L"box:错误:目前不支持该操作:0",
                                                        L"send:1126:0", L"box:错误:目前不支持该操作:0",
                                                        L"send:1125:1", L"kill:1", L"status:更新失败"}},
                                           RefusalCase{"WindowGone", {refusal(), result(2)}, true, {}}),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             return std::string(info.param.name);
                         });

// The engine's thread stores while the UI thread polls; the sanitizer build checks
// that nothing races, and every composed text must be whole.
TEST_F(ControllerTest, PollingWhileTheEngineReportsSeesConsistentTexts)
{
    std::atomic<bool> stop{false};
    std::thread engine([&] {
        for (int pass = 0; pass < 200; ++pass) {
            send(progress(0, pass % 2 ? 800 : 5 * 1048576));
            for (int piece = 0; piece < 20; ++piece)
                send(received(10));
        }
        stop = true;
    });
    int polls = 0;
    while (!stop || polls == 0) {
        const std::wstring shown = text();
        ++polls;
        const bool whole = shown == L"正在更新:0" || shown.find(L"/800") != std::wstring::npos ||
                           shown.find(L"/5.0MB") != std::wstring::npos;
        ASSERT_TRUE(whole) << std::string(shown.begin(), shown.end());
        ASSERT_GE(percent, 0);
    }
    engine.join();
}
