// The colour state and the manipulators: the attributes applied, earlier text flushed before a
// colour changes, a console and its stream ending in either order, and a reset from another
// thread kept out of a colour change.
#include "app/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/dialogue_harness.h"

namespace {

using Manipulator = std::ostream& (*)(std::ostream&);

// A stream buffer that notes what it held at its last flush.
struct HeldBuffer : std::stringbuf {
    std::string delivered;
    int sync() override {
        delivered = str();
        return 0;
    }
};

// Notes the attribute and what had been flushed when each colour changed.
struct DeliveryEffect : MarkingEffect {
    DeliveryEffect(std::ostream& log, const HeldBuffer& held)
        : MarkingEffect(log), log(log), held(held) {}
    void applyAttribute(uint16_t attribute) override {
        log << '(' << held.delivered << ')';
        MarkingEffect::applyAttribute(attribute);
    }
    std::ostream& log;
    const HeldBuffer& held;
};

// Catches a wrong attribute (a half lost or taken from the wrong colour), a manipulator that
// writes a character, and one that changes the colour before the earlier text is out.
TEST(Console, ManipulatorsApplyTheWholeAttributeAfterTheEarlierText) {
    const std::pair<std::vector<Manipulator>, std::string> table[] = {
        {{fgLightRed}, "(a){0C}"},
        {{bgDarkYellow, fgBlack, fgWhite, bgBlack}, "(a){67}(ab){60}(abc){6F}(abcd){0F}"},
        {{bgDarkYellow, fgCyan, fgGray, fgLightGreen}, "(a){67}(ab){63}(abc){67}(abcd){6A}"},
    };
    for (const auto& [manipulators, marks] : table) {
        HeldBuffer held;
        std::ostream out(&held);
        std::ostringstream log;
        Console console(std::make_unique<DeliveryEffect>(log, held));
        console.attach(out);
        std::string text;
        for (Manipulator m : manipulators) {
            text += static_cast<char>('a' + text.size());
            out << text.back() << m;
        }
        EXPECT_EQ(log.str(), marks);
        EXPECT_EQ(held.str(), text);
    }
}

// Catches a console that reaches a destroyed stream, or a stream that reaches a destroyed console.
TEST(Console, ConsoleAndStreamMayEndInEitherOrder) {
    auto stream = std::make_unique<std::ostringstream>();
    {
        Console console(std::make_unique<MarkingEffect>(*stream));
        console.attach(*stream);
    }
    *stream << fgWhite << "after the console";
    EXPECT_EQ(stream->str(), "after the console");
    std::ostringstream marks;
    Console console(std::make_unique<MarkingEffect>(marks));
    console.attach(*stream);
    *stream << fgWhite;
    stream.reset();
}

// Holds each colour change open until a reset comes (or 200 ms pass) and notes a reset that
// started inside a change.
struct OverlapEffect : MarkingEffect {
    using MarkingEffect::MarkingEffect;
    void applyAttribute(uint16_t) override {
        std::unique_lock<std::mutex> guard(mutex);
        applying = true;
        changed.notify_all();
        changed.wait_for(guard, std::chrono::milliseconds(200), [this] { return restoring; });
        applying = false;
    }
    void restore() override {
        std::lock_guard<std::mutex> guard(mutex);
        restoring = true;
        overlapped = overlapped || applying;
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool applying = false, restoring = false, overlapped = false;
};

// Catches a reset from a control-event thread that lands inside the main thread's colour change.
TEST(Console, AResetFromAnotherThreadWaitsForTheColourChange) {
    std::ostringstream out;
    auto owned = std::make_unique<OverlapEffect>(out);
    OverlapEffect& effect = *owned;
    Console console(std::move(owned));
    std::thread mainThread([&] { console.setForeground(kColourWhite); });
    {
        std::unique_lock<std::mutex> guard(effect.mutex);
        EXPECT_TRUE(effect.changed.wait_for(guard, std::chrono::seconds(10),
                                            [&] { return effect.applying; }));
    }
    std::thread controlThread([&] { console.restore(); });
    mainThread.join();
    controlThread.join();
    EXPECT_TRUE(effect.restoring);
    EXPECT_FALSE(effect.overlapped);
}

}  // namespace
