// The queue of a pulled stream: frames leave in the order written, across buffer edges, and a
// buffer is handed back only once it has been played; a loss hands everything back for good.
#include <gtest/gtest.h>

#include <numeric>

#include "output/pulled_queue.h"
#include "tests/support/device_harness.h"

namespace {

constexpr uint32_t kFrameBytes = 4;

TEST(PulledQueue, PullsAcrossBuffersAndFinishesOnlyWhatWasPlayed) {
    NoticeLog log;
    PulledQueue queue(nullptr, &NoticeLog::callback, log.instance(), kFrameBytes);
    std::vector<int32_t> samples(10);
    std::iota(samples.begin(), samples.end(), 0);
    WaveHeader a{reinterpret_cast<char*>(&samples[0]), 4 * kFrameBytes};
    WaveHeader b{reinterpret_cast<char*>(&samples[4]), 6 * kFrameBytes};
    ASSERT_TRUE(queue.write(a) && queue.write(b));
    EXPECT_EQ(a.dwFlags & kWhdrInQueue, kWhdrInQueue);

    std::vector<int32_t> out(16, -1);
    EXPECT_EQ(queue.pull(reinterpret_cast<char*>(out.data()), 3), 3u);
    EXPECT_EQ(queue.pull(reinterpret_cast<char*>(out.data() + 3), 16), 7u);
    EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + 10), samples);
    EXPECT_EQ(queue.pull(reinterpret_cast<char*>(out.data()), 4), 0u);

    queue.finishPlayed(3);  // a's last frame not yet heard
    EXPECT_EQ(log.doneCount(), 0u);
    queue.finishPlayed(5);
    ASSERT_EQ(log.doneCount(), 1u);
    EXPECT_EQ(log.all()[0].header, &a);
    EXPECT_EQ(a.dwFlags & (kWhdrDone | kWhdrInQueue), kWhdrDone);
    queue.finishPlayed(1000);  // never past what was pulled, but all of b was
    EXPECT_EQ(log.doneCount(), 2u);
}

TEST(PulledQueue, HandingBackStartsTheStreamAgainAndALossRefusesLaterWrites) {
    NoticeLog log;
    PulledQueue queue(nullptr, &NoticeLog::callback, log.instance(), kFrameBytes);
    std::vector<int32_t> samples(8, 7);
    WaveHeader a{reinterpret_cast<char*>(samples.data()), 8 * kFrameBytes};
    WaveHeader b = a;
    ASSERT_TRUE(queue.write(a) && queue.write(b));
    std::vector<int32_t> out(8);
    queue.pull(reinterpret_cast<char*>(out.data()), 5);
    queue.finishPlayed(4);  // nothing ends there: both stay queued
    queue.handBackAll();
    EXPECT_EQ(log.doneCount(), 2u);
    EXPECT_EQ(queue.pulledFrames(), 0u);

    ASSERT_TRUE(queue.write(a));
    EXPECT_EQ(queue.unpulledFrames(), 8u);
    queue.handBackAll(true);
    EXPECT_EQ(log.doneCount(), 3u);
    EXPECT_TRUE(queue.lost());
    EXPECT_FALSE(queue.write(b));
    EXPECT_EQ(queue.unpulledFrames(), 0u);
}

}  // namespace
