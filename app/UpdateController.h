#pragma once
// The bridge between the engine and the progress dialog: counts what the engine
// reports, composes the status text and percentage when the dialog's timer asks,
// and passes refusals and the final result on as messages.

#include "engine/EngineTypes.h"

#include <cstdint>
#include <string>

class CLauncherDlg;
class StarterWorker;

// Messages to the dialog, all sent synchronously; the numbers of WM_USER + 100 to
// WM_USER + 102.
constexpr unsigned WM_UPDATE_PROGRESS = 0x0400 + 100;
constexpr unsigned WM_UPDATE_FINISHED = 0x0400 + 101;  // wParam: the ResultCode
// The file system refused an operation; the engine waits until the player has seen it.
constexpr unsigned WM_UPDATE_REFUSED = 0x0400 + 102;

enum class SizeUnit : std::int32_t { Bytes = 0, KB = 1, MB = 2 };

class UpdateController : public gametool::EventSet {
public:
    // Creates the engine, working in `installationDirectory`, with this controller
    // as its event sink; does not start it.
    UpdateController(CLauncherDlg* dialog, const std::wstring& installationDirectory);
    ~UpdateController() override;
    UpdateController(const UpdateController&) = delete;
    UpdateController& operator=(const UpdateController&) = delete;

    // Called by the engine on its run thread.
    void onEvent(UpdateEvent& event) override;

    StarterWorker* worker() const;

    // Called by the dialog's timer on the UI thread: "正在更新:" with the current and
    // total size in one unit, and the percentage (not limited to 100).
    void pollProgress(std::wstring& text, std::int32_t& percent);
    // The counts behind it: bytes received in this pass, and the pass's total.
    void pollBytes(std::uint64_t& received, std::uint64_t& total);

    struct InnerData;

private:
    void updateProgress(std::uint64_t current, std::uint64_t total);
    void sendToDialog(unsigned message, std::uintptr_t wParam);

    InnerData* m_data;
};
