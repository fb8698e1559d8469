// The queue between the scan and the worker, the worker's order and end,
// and the display store's cache.

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "media/ScanThumbnailer.h"
#include "media/ThumbnailQueue.h"
#include "media/ThumbnailStore.h"
#include "MediaTestSupport.h"
#include "support/Corpus.h"

namespace tamsel {
namespace {

using namespace tamsel::test;
using namespace tamsel::media;

CarvedFile numbered(std::int64_t index, std::int64_t offset = 0, std::int64_t length = 0, std::string ext = "jpg") {
    CarvedFile f;
    f.index = index;
    f.offset = offset;
    f.length = length;
    f.ext = std::move(ext);
    return f;
}

TEST(ThumbnailQueue, FirstInFirstOutAndDrainedOnlyAfterFinish) {
    ThumbnailQueue q;
    EXPECT_FALSE(q.pop());
    EXPECT_FALSE(q.isDrained()) << "an empty queue of a running scan is not drained";
    for (int i : {1, 2, 3}) q.push(numbered(i));
    q.finish();
    EXPECT_FALSE(q.isDrained());
    for (int i : {1, 2, 3}) {
        auto f = q.pop();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->index, i);
    }
    EXPECT_TRUE(q.isDrained());
}

TEST(ThumbnailWorker, MakesEveryQueuedFileInFoundOrderThenEnds) {
    const auto bytes = readFile(corpusDir() / "jpg" / "Canon_40D.jpg");
    auto source = std::make_shared<WatchedSource>(bytes);
    TempDir session;
    auto queue = std::make_shared<ThumbnailQueue>();
    auto thumbnailer = std::make_shared<ScanThumbnailer>(source, session.path());
    ThumbnailWorker worker(queue, thumbnailer, CancellationToken());
    const auto n = static_cast<std::int64_t>(bytes.size());
    queue->push(numbered(1, 0, n));
    queue->push(numbered(2, 0, 4096, "wav"));
    queue->push(numbered(3, 0, n));
    queue->finish();
    worker.wait();
    EXPECT_EQ(worker.filesDone(), 3);
    EXPECT_EQ(worker.thumbnailsMade(), 2);
    EXPECT_TRUE(fs::exists(ThumbnailFiles::thumbnailURL(session.path(), 1)));
    EXPECT_TRUE(fs::exists(ThumbnailFiles::markerURL(session.path(), 2)));
    EXPECT_TRUE(fs::exists(ThumbnailFiles::thumbnailURL(session.path(), 3)));
    // Files 1 and 3 have the same bytes: file 3 was read after file 1.
    ASSERT_EQ(source->reads().size(), 2u);

    // A cancelled worker leaves what is queued.
    auto q2 = std::make_shared<ThumbnailQueue>();
    q2->push(numbered(9, 0, n));
    CancellationToken token;
    token.cancel();
    ThumbnailWorker stopped(q2, thumbnailer, token);
    stopped.wait();
    EXPECT_EQ(stopped.filesDone(), 0);
    EXPECT_TRUE(q2->pop());
}

// Reads wait at a gate until the test opens it, and tell which thread read.
class GatedSource final : public RandomAccessSource {
public:
    explicit GatedSource(std::vector<std::uint8_t> data) : inner_(std::make_shared<MemorySource>(std::move(data))) {}
    std::int64_t size() const override { return inner_->size(); }
    std::int64_t badBytes() const override { return 0; }
    const std::string& displayName() const override { return inner_->displayName(); }
    Bytes pread(std::int64_t offset, std::int64_t count) override {
        std::unique_lock guard(lock_);
        readers_.push_back({count, std::this_thread::get_id()});
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
        guard.unlock();
        return inner_->pread(offset, count);
    }
    std::shared_ptr<RandomAccessSource> duplicate() override { return nullptr; }
    void close() override {}
    void waitForReads(std::size_t n) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return readers_.size() >= n; });
    }
    void open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    std::vector<std::pair<std::int64_t, std::thread::id>> readers() const {
        std::lock_guard guard(lock_);
        return readers_;
    }

private:
    std::shared_ptr<MemorySource> inner_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
    std::vector<std::pair<std::int64_t, std::thread::id>> readers_;
};

TEST(ThumbnailWorker, AfterTheScanTheWaitingThreadMakesTheRestInFoundOrder) {
    auto bytes = readFile(corpusDir() / "jpg" / "Canon_40D.jpg");
    const auto n = static_cast<std::int64_t>(bytes.size());
    bytes.resize(bytes.size() + 16, 0);
    auto source = std::make_shared<GatedSource>(bytes);
    TempDir session;
    auto queue = std::make_shared<ThumbnailQueue>();
    ThumbnailWorker worker(queue, std::make_shared<ScanThumbnailer>(source, session.path()), CancellationToken());
    // Lengths tell the files apart in the reads.
    for (int i = 1; i <= 4; ++i) queue->push(numbered(i, 0, n + i));
    source->waitForReads(1);  // the worker is inside file 1
    queue->finish();
    std::thread::id drainer;
    std::thread waiting([&] {
        drainer = std::this_thread::get_id();
        worker.drainOnThisThread();
    });
    // A worker that never hands over must fail here, not hang the suite.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!worker.handedOver() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    EXPECT_TRUE(worker.handedOver()) << "the waiting thread did not take over";
    source->open();
    waiting.join();
    EXPECT_EQ(worker.filesDone(), 4);
    EXPECT_EQ(worker.thumbnailsMade(), 4);
    const auto readers = source->readers();
    ASSERT_EQ(readers.size(), 4u);
    for (std::size_t i = 0; i < readers.size(); ++i) EXPECT_EQ(readers[i].first, n + static_cast<std::int64_t>(i) + 1);
    EXPECT_NE(readers[0].second, drainer) << "file 1 stays with the worker that began it";
    for (std::size_t i = 1; i < readers.size(); ++i) EXPECT_EQ(readers[i].second, drainer) << "file " << i + 1;
}

struct StoreFixture : ::testing::Test {
    TempDir session;
    void SetUp() override {
        const auto bytes = readFile(corpusDir() / "jpg" / "orientation_landscape_1.jpg");
        ScanThumbnailer t(std::make_shared<WatchedSource>(bytes), session.path());
        for (int i = 1; i <= 4; ++i) ASSERT_TRUE(t.makeThumbnail(numbered(i, 0, static_cast<std::int64_t>(bytes.size()))));
    }
    fs::path url(int i) const { return ThumbnailFiles::thumbnailURL(session.path(), i); }
};

TEST_F(StoreFixture, ALaterLargerRequestGetsTheCachedImage) {
    ThumbnailStore store;
    auto cell = store.cachedThumbnail(url(1), ThumbnailStore::kCellSize);
    ASSERT_TRUE(cell);
    EXPECT_EQ(std::max(cell->width, cell->height), 320) << "160 points at the default scale of 2";
    auto inspector = store.cachedThumbnail(url(1), ThumbnailStore::kInspectorSize);
    EXPECT_EQ(inspector, cell);
    fs::remove(url(1));
    EXPECT_EQ(store.cachedThumbnail(url(1), 160), cell) << "a cached URL is not read again";
    EXPECT_FALSE(store.cachedThumbnail(session / "thumbs/000099.jpg", 160));
    auto small = store.cachedThumbnail(url(2), 50, 1.0);
    ASSERT_TRUE(small);
    EXPECT_EQ(std::max(small->width, small->height), 50);
}

TEST_F(StoreFixture, TheCacheKeepsToItsBoundLeastRecentlyUsedFirst) {
    ThumbnailStore probe;
    const auto one = probe.cachedThumbnail(url(1), 100, 1.0)->byteCount();
    ThumbnailStore store(one * 2);
    auto a = store.cachedThumbnail(url(1), 100, 1.0);
    auto b = store.cachedThumbnail(url(2), 100, 1.0);
    EXPECT_EQ(store.cachedThumbnail(url(1), 100, 1.0), a) << "touching 1 makes 2 the oldest";
    store.cachedThumbnail(url(3), 100, 1.0);
    EXPECT_EQ(store.cachedCount(), 2u);
    EXPECT_LE(store.cachedBytes(), one * 2);
    EXPECT_EQ(store.cachedThumbnail(url(1), 100, 1.0), a) << "the recently used entry was evicted";
    EXPECT_NE(store.cachedThumbnail(url(2), 100, 1.0), b) << "the oldest entry was kept";
}

TEST_F(StoreFixture, TheWaitBacksOffAndStopsAtAMarker) {
    EXPECT_EQ(ThumbnailWait::delayAfter(0).count(), 120);
    EXPECT_EQ(ThumbnailWait::delayAfter(3).count(), 960);
    EXPECT_EQ(ThumbnailWait::delayAfter(4).count(), 1500);
    EXPECT_EQ(ThumbnailWait::delayAfter(39).count(), 1500);
    ThumbnailStore store;
    std::vector<std::int64_t> slept;
    auto record = [&](std::chrono::milliseconds d) { slept.push_back(d.count()); };
    std::shared_ptr<const RgbImage> image;
    EXPECT_EQ(ThumbnailWait::run(store, session.path(), 2, 160, 2.0, CancellationToken::none(), record, &image),
              ThumbnailWaitResult::image);
    EXPECT_TRUE(image);
    EXPECT_TRUE(slept.empty());

    writeFile(ThumbnailFiles::markerURL(session.path(), 7), "");
    EXPECT_EQ(ThumbnailWait::run(store, session.path(), 7, 160, 2.0, CancellationToken::none(), record, nullptr),
              ThumbnailWaitResult::none);
    EXPECT_TRUE(slept.empty()) << "a marker ends the wait at the first attempt";

    // The thumbnail appears while waiting: picked up on the attempt after it was written.
    const auto source = url(3);
    const auto target = ThumbnailFiles::thumbnailURL(session.path(), 8);
    auto appearLater = [&](std::chrono::milliseconds d) {
        slept.push_back(d.count());
        if (slept.size() == 3) fs::copy_file(source, target);
    };
    EXPECT_EQ(ThumbnailWait::run(store, session.path(), 8, 160, 2.0, CancellationToken::none(), appearLater, nullptr),
              ThumbnailWaitResult::image);
    EXPECT_EQ(slept, (std::vector<std::int64_t>{120, 240, 480}));

    slept.clear();
    EXPECT_EQ(ThumbnailWait::run(store, session.path(), 50, 160, 2.0, CancellationToken::none(), record, nullptr),
              ThumbnailWaitResult::gaveUp);
    EXPECT_EQ(slept.size(), 40u);
}

}  // namespace
}  // namespace tamsel
