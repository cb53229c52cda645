#include "app/UpdateController.h"

#include "app/CLauncherDlg.h"
#include "engine/StarterWorker.h"

#include <boost/variant/get.hpp>

#include <atomic>
#include <cstdint>
#include <locale>
#include <mutex>
#include <sstream>

namespace {

const std::uint64_t kKiB = 1024;
const std::uint64_t kMiB = 1024 * 1024;

// Fixed notation, one decimal, "." as the decimal point and no digit grouping,
// whatever the user's locale says.
void setNumberFormat(std::wostream& stream)
{
    stream.imbue(std::locale::classic());
    stream.setf(std::ios::fixed, std::ios::floatfield);
    stream.precision(1);
}

float inMegabytes(std::uint64_t bytes)
{
    return static_cast<float>(bytes) / static_cast<float>(kMiB);
}

}  // namespace

struct UpdateController::InnerData {
    // Everything below except `current` is written on the engine's thread and read by
    // the dialog's timer on the UI thread; `progressMutex` guards it.
    std::mutex progressMutex;
    std::wstring totalText;
    std::wostringstream textStream;
    SizeUnit unit = SizeUnit::Bytes;
    std::unique_ptr<StarterWorker> worker;
    CLauncherDlg* dialog = nullptr;
    // Advanced for every received piece; atomic so that a piece costs no lock.
    std::atomic<std::uint64_t> current{0};
    std::uint64_t total = 0;
};

UpdateController::UpdateController(CLauncherDlg* dialog, const std::wstring& installationDirectory)
    : m_data(nullptr)
{
    std::unique_ptr<StarterWorker> worker(new StarterWorker(this, installationDirectory));
    m_data = new InnerData;
    m_data->worker = std::move(worker);
    m_data->dialog = dialog;
}

UpdateController::~UpdateController()
{
    m_data->worker.reset();
    delete m_data;
}

StarterWorker* UpdateController::worker() const
{
    return m_data->worker.get();
}

void UpdateController::onEvent(UpdateEvent& event)
{
    switch (event.kind) {
    case UpdateEvent::Progress:
        updateProgress(boost::get<std::uint64_t>(event.first), boost::get<std::uint64_t>(event.second));
        break;
    case UpdateEvent::BytesReceived:
        m_data->current.fetch_add(boost::get<std::uint64_t>(event.first), std::memory_order_relaxed);
        break;
    case UpdateEvent::Finished: {
        const std::int32_t code = boost::get<std::int32_t>(event.first);
        sendToDialog(WM_UPDATE_FINISHED, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(code)));
        break;
    }
    case UpdateEvent::OperationRefused:
        sendToDialog(WM_UPDATE_REFUSED, 0);
        break;
    default:
        break;
    }
}

void UpdateController::updateProgress(std::uint64_t current, std::uint64_t total)
{
    {
        std::lock_guard<std::mutex> lock(m_data->progressMutex);
        m_data->total = total;
        m_data->current.store(current, std::memory_order_relaxed);

        std::wostringstream totalStream;
        setNumberFormat(totalStream);
        setNumberFormat(m_data->textStream);
        totalStream << L"/";
        if (total > kMiB) {
            totalStream << inMegabytes(total) << L"MB";
            m_data->unit = SizeUnit::MB;
        } else if (total > kKiB) {
            totalStream << (total >> 10) << L"KB";
            m_data->unit = SizeUnit::KB;
        } else {
            m_data->unit = SizeUnit::Bytes;
            if (total > 0)
                totalStream << total;
        }
        m_data->totalText = totalStream.str();
    }
    // Outside the lock: the dialog's timer may be waiting for it on the UI thread,
    // and this send waits for the UI thread.
    sendToDialog(WM_UPDATE_PROGRESS, 0);
}

void UpdateController::pollProgress(std::wstring& text, std::int32_t& percent)
{
    std::lock_guard<std::mutex> lock(m_data->progressMutex);
    const std::uint64_t current = m_data->current.load(std::memory_order_relaxed);
    std::wostringstream& stream = m_data->textStream;

    stream << L"正在更新:";
    switch (m_data->unit) {
    case SizeUnit::KB:
        stream << (current >> 10);
        break;
    case SizeUnit::MB:
        stream << inMegabytes(current);
        break;
    case SizeUnit::Bytes:
        stream << current;
        break;
    }
    stream << m_data->totalText;
    text = stream.str();

    // A pass with nothing to receive shows 0 rather than dividing by zero.
    std::uint64_t value = m_data->total == 0 ? 0 : (current * 100) / m_data->total;
    if (value > static_cast<std::uint64_t>(INT32_MAX))
        value = INT32_MAX;
    percent = static_cast<std::int32_t>(value);

    stream.str(std::wstring());
    stream.clear();
}

void UpdateController::pollBytes(std::uint64_t& received, std::uint64_t& total)
{
    std::lock_guard<std::mutex> lock(m_data->progressMutex);
    received = m_data->current.load(std::memory_order_relaxed);
    total = m_data->total;
}

void UpdateController::sendToDialog(unsigned message, std::uintptr_t wParam)
{
    if (m_data->dialog)
        m_data->dialog->sendMessage(message, wParam, 0);
}
