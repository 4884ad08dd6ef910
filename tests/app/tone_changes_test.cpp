// The faded changes against a renderer thread that plays the part of the output: the tone source
// and the fader in a locked container, rendered block by block under its lock. Every kind of
// change must reach the output without a step larger than the steady tone makes itself, the
// fade at the end must have been rendered through the whole queue of buffers before it returns,
// and with nothing rendering every wait must end and the change still be made.
#include "app/tone_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/audio_module_container.h"
#include "engine/connections.h"
#include "engine/locked_container.h"
#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"
#include "tests/synthesis/sample_rate_guard.h"
#include "tests/threading/bounded_wait.h"

namespace {

constexpr int32_t kRateHz = 44100;
constexpr double kAmplitude = 0.707;
constexpr double kRampMs = 5.0;
constexpr size_t kBlockFrames = 256;

// The tone source into the fader, as the program wires them with the option given.
struct SmoothChain {
    SampleRateGuard rate{kRateHz};
    LockedContainer container{0, 0};
    M_Sines sines{1};
    M_GainRamp ramp{kRampMs, 0.0};
    ContainerLock lock{container};

    SmoothChain() {
        connect(sines, 0, M_GainRamp::kSignalInput, ramp);
        add(add(container, sines), ramp);
        container.prepare(true);
        sines.setInputValue(1, kAmplitude);
        container.reset();
    }
};

// Renders blocks under the container's lock and keeps every output sample, about six times
// faster than real time.
class Renderer {
  public:
    explicit Renderer(SmoothChain& chain) : chain(chain), thread([this] { run(); }) {}
    ~Renderer() {
        stop = true;
        thread.join();
    }
    // Waits until `frames` more frames have been rendered.
    void play(size_t frames) {
        const size_t until = recording().size() + frames;
        ASSERT_TRUE(eventually([&] { return recording().size() >= until; }));
    }
    std::vector<double> recording() {
        std::lock_guard<ILocker> guard(chain.container);
        return samples;
    }

  private:
    void run() {
        while (!stop) {
            {
                std::lock_guard<ILocker> guard(chain.container);
                for (size_t i = 0; i < kBlockFrames; ++i) {
                    chain.container.process();
                    samples.push_back(chain.ramp.outputValue(M_GainRamp::kOutput));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    SmoothChain& chain;
    std::vector<double> samples;
    std::atomic<bool> stop{false};
    std::thread thread;
};

double largestStep(const std::vector<double>& samples, size_t from = 0) {
    double largest = 0.0;
    for (size_t i = from + 1; i < samples.size(); ++i) {
        largest = std::max(largest, std::abs(samples[i] - samples[i - 1]));
    }
    return largest;
}

// The largest step of a steady tone of `tones` tones at `hz`, over a whole period and more.
double steadyStep(int32_t tones, double hz) {
    M_Sines sines(tones);
    sines.setInputValue(0, hz);
    sines.setInputValue(1, kAmplitude);
    std::vector<double> samples;
    for (int32_t i = 0; i < kRateHz / 10; ++i) {
        sines.process();
        samples.push_back(sines.outputValue(0));
    }
    return largestStep(samples);
}

TEST(SmoothToneChanges, StartStopResumeAndToneCountChangeStayWithinTheSteadyTonesSteps) {
    SmoothChain chain;
    const SmoothTiming timing{std::chrono::seconds(5), 3 * kBlockFrames, std::chrono::seconds(5)};
    SmoothToneChanges changes(chain.sines, chain.ramp, chain.lock, timing);
    Renderer renderer(chain);

    // Each change with what sounds before and after it; its steps, from the frame before it to
    // the end of the steady tone after it, must stay within 1.5 times the larger steady step.
    struct Change {
        const char* name;
        std::function<void()> make;
        int32_t tonesBefore;
        double hzBefore;
        int32_t tonesAfter;
        double hzAfter;
    };
    const std::vector<Change> table = {
        {"start", [&] { changes.setFrequency(110.0); }, 3, 0.0, 3, 110.0},
        {"stop", [&] { changes.setFrequency(0.0); }, 3, 110.0, 3, 0.0},
        {"resumption from the held phases", [&] { changes.setFrequency(55.0); }, 3, 0.0, 3, 55.0},
        {"3 to 5 tones while playing", [&] { EXPECT_TRUE(changes.setToneCount(5)); }, 3, 55.0, 5,
         55.0},
        {"step back", [&] { changes.setFrequency(-1.0); }, 5, 55.0, 5, -1.0},
        {"start after the step back", [&] { changes.setFrequency(55.0); }, 5, -1.0, 5, 55.0},
        {"fade out at the end", [&] { changes.fadeOut(); }, 5, 55.0, 5, 0.0},
    };
    renderer.play(1000);
    ASSERT_TRUE(changes.setToneCount(3));
    std::vector<double> atFadeOutReturn;
    for (const Change& change : table) {
        SCOPED_TRACE(change.name);
        const size_t before = renderer.recording().size() - 1;
        change.make();
        if (&change == &table.back()) {
            atFadeOutReturn = renderer.recording();
        }
        renderer.play(2000);
        const std::vector<double> samples = renderer.recording();
        const double steady = std::max(steadyStep(change.tonesBefore, change.hzBefore),
                                       steadyStep(change.tonesAfter, change.hzAfter));
        EXPECT_LE(largestStep(samples, before), 1.5 * steady);
        EXPECT_EQ(samples.back() != 0.0, change.hzAfter > 0.0);
    }
    // fadeOut() returned only once the whole queue of buffers after the fade had been rendered.
    const auto sinceSound = std::find_if(atFadeOutReturn.rbegin(), atFadeOutReturn.rend(),
                                         [](double sample) { return sample != 0.0; });
    EXPECT_GE(static_cast<size_t>(sinceSound - atFadeOutReturn.rbegin()), timing.drainFrames);
    EXPECT_EQ(chain.sines.toneCount, 5);
}

TEST(SmoothToneChanges, EveryWaitEndsAndEveryChangeIsMadeWhenNothingRenders) {
    SmoothChain chain;
    const SmoothTiming timing{std::chrono::milliseconds(20), 1000, std::chrono::milliseconds(20)};
    SmoothToneChanges changes(chain.sines, chain.ramp, chain.lock, timing);
    completesWithin(
        [&] {
            changes.setFrequency(440.0);
            EXPECT_TRUE(changes.setToneCount(4));
            changes.setFrequency(0.0);
            changes.setFrequency(330.0);
            changes.fadeOut();
        },
        "faded changes without a renderer");
    EXPECT_EQ(chain.sines.toneCount, 4);
    EXPECT_EQ(chain.sines.inputValue(0), 330.0);
}

}  // namespace
