// The download pass without a server: its queue and lanes, and the room it needs.

#include "engine/DownloadPass.h"
#include "engine/EngineEvents.h"
#include "tests/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// A helper lane throws on its file: the queue stops, the lane holding a file
// finishes it, no file is taken after the stop, and the caller gets the exception.
TEST(LocalPassQueue, AnExceptionOnAHelperLaneStopsTheQueueAndReachesTheCaller)
{
    std::vector<UpdateFileInfo> files(6);
    std::vector<const UpdateFileInfo*> entries;
    for (const UpdateFileInfo& file : files)
        entries.push_back(&file);
    engine_detail::PassQueue queue(entries, 2);

    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool thrown = false;
    std::atomic<int> taken{0};
    const auto lane = [&](bool onCaller) {
        std::size_t at = 0;
        while (queue.take(at)) {
            ++taken;
            std::unique_lock<std::mutex> lock(mutex);
            if (!onCaller) {
                // The helper throws once the caller's lane holds its file.
                changed.wait_for(lock, std::chrono::seconds(10), [&] { return holding; });
                thrown = true;
                changed.notify_all();
                throw std::runtime_error("lane failed");
            }
            holding = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return thrown; });
            lock.unlock();
            // The stop comes from the thrown exception, just after it left the lane.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!queue.failure() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            queue.finish(at, true);
        }
    };

    EXPECT_THROW(engine_detail::workLanes(queue, lane), std::runtime_error);
    EXPECT_TRUE(thrown);
    EXPECT_EQ(taken, 2);
    int done = 0;
    for (std::size_t at = 0; at < files.size(); ++at)
        done += queue.done(at) ? 1 : 0;
    EXPECT_EQ(done, 1);
}

struct RoomCase {
    const char* label;
    std::uint64_t size;
    const char* name;
    std::size_t keptPart;  // bytes of a ".tmp" already beside the file
    std::uint64_t otherSize;
    std::uint64_t needed;
};
class RoomNeededTable : public testing::TestWithParam<RoomCase> {};

// Only what has still to arrive needs room: a kept part already holds its share.
TEST_P(RoomNeededTable, CountsWhatIsStillToArrive)
{
    const RoomCase& c = GetParam();
    Sandbox sandbox;
    gametool::EventSet sink;
    StarterWorker worker(&sink, sandbox.work().wstring());
    if (c.keptPart > 0)
        writeFile(std::string("game/") + c.name + ".tmp", std::string(c.keptPart, 'p'));
    FileGroup group;
    group.saveDir = L"game";
    group.files = {gametool::FileInfo{c.name, c.name, "sha", c.size},
                   gametool::FileInfo{"o", "o", "sha", c.otherSize}};
    auto shared = std::make_shared<FileGroup>(group);
    const UpdateFileInfo file{&shared->files[0], shared, false, 0, std::string()};
    const UpdateFileInfo other{&shared->files[1], shared, false, 0, std::string()};
    EXPECT_EQ(engine_detail::roomNeeded({&file, &other}), c.needed);
}

const std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
INSTANTIATE_TEST_SUITE_P(Local, RoomNeededTable,
                         testing::Values(RoomCase{"Fresh", 10, "f.bin", 0, 5, 15},
                                         RoomCase{"PartKept", 10, "f.bin", 6, 5, 9},
                                         RoomCase{"WholePartKept", 10, "f.bin", 10, 5, 5},
                                         RoomCase{"PackageOnceMore", 10, "p.quiv", 4, 5, 6 + 5 + 10},
                                         RoomCase{"Saturates", kMost - 1, "f.bin", 0, 5, kMost}),
                         [](const testing::TestParamInfo<RoomCase>& info) { return info.param.label; });

// The UI may show a box inside the refusal event: the other lanes' bytes still
// reach the sink meanwhile, instead of waiting past their deadlines.
TEST(LocalEngineEvents, ARefusalBoxHoldsNoOtherLaneBack)
{
    struct BoxSink : gametool::EventSet {
        std::mutex mutex;
        std::condition_variable changed;
        bool boxShown = false;
        bool bytesSeen = false;
        bool bytesSeenDuringBox = false;
        void onEvent(UpdateEvent& event) override
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (event.kind == UpdateEvent::BytesReceived)
                bytesSeen = true;
            if (event.kind == UpdateEvent::OperationRefused) {
                boxShown = true;
                changed.notify_all();
                bytesSeenDuringBox =
                    changed.wait_for(lock, std::chrono::seconds(5), [&] { return bytesSeen; });
            }
            changed.notify_all();
        }
    } sink;
    engine_detail::EngineEvents events(&sink);
    std::thread box([&] { events.refused(); });
    {
        std::unique_lock<std::mutex> lock(sink.mutex);
        sink.changed.wait_for(lock, std::chrono::seconds(5), [&] { return sink.boxShown; });
    }
    events.bytes(15);
    box.join();
    EXPECT_TRUE(sink.bytesSeenDuringBox);
}

}  // namespace
