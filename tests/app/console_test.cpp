// Behaviour of the colour state and the manipulators: the attributes they apply, that they add
// no character, that earlier text is flushed before a colour changes, and that a console and its
// stream may be destroyed in either order (a stream without a console only flushes).
#include "app/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/dialogue_harness.h"

namespace {

using Manipulator = std::ostream& (*)(std::ostream&);

struct ColourCase {
    std::string name;
    std::vector<Manipulator> manipulators;
    std::string marks;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
    *os << c.name;
}

class ConsoleColours : public testing::TestWithParam<ColourCase> {};

TEST_P(ConsoleColours, ManipulatorsApplyTheWholeAttributeAndWriteNoCharacter) {
    std::ostringstream out;
    Console console(std::make_unique<MarkingEffect>(out));
    console.attach(out);
    for (Manipulator m : GetParam().manipulators) {
        out << m;
    }
    EXPECT_EQ(out.str(), GetParam().marks);
}

INSTANTIATE_TEST_SUITE_P(
    Console, ConsoleColours,
    testing::Values(ColourCase{"FirstChangeTakesTheBackgroundAsBlack", {fgLightRed}, "{0C}"},
                    ColourCase{"HintColoursCombineWithTheOtherHalf",
                               {bgDarkYellow, fgBlack, fgWhite, bgBlack},
                               "{67}{60}{6F}{0F}"},
                    ColourCase{"EachForegroundKeepsTheBackground",
                               {bgDarkYellow, fgCyan, fgGray, fgLightGreen},
                               "{67}{63}{67}{6A}"}),
    [](const testing::TestParamInfo<ColourCase>& info) { return info.param.name; });

// Holds written text until it is flushed, like a stream buffer in front of a console.
class HeldBuffer : public std::streambuf {
  public:
    HeldBuffer() { setp(held, held + sizeof held); }
    std::string delivered;

  protected:
    int sync() override {
        delivered.append(pbase(), static_cast<size_t>(pptr() - pbase()));
        setp(held, held + sizeof held);
        return 0;
    }
    int_type overflow(int_type c) override {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            delivered.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }

  private:
    char held[256];
};

// Notes what had reached the console when each colour changed.
class DeliveryEffect : public MarkingEffect {
  public:
    DeliveryEffect(std::ostream& sink, const HeldBuffer& buffer)
        : MarkingEffect(sink), buffer(buffer) {}
    void applyAttribute(uint16_t) override { deliveredAtChange.push_back(buffer.delivered); }
    std::vector<std::string> deliveredAtChange;

  private:
    const HeldBuffer& buffer;
};

TEST(Console, TextBeforeAColourChangeIsFlushedFirst) {
    HeldBuffer buffer;
    std::ostream out(&buffer);
    auto effect = std::make_unique<DeliveryEffect>(out, buffer);
    DeliveryEffect* changes = effect.get();
    Console console(std::move(effect));
    console.attach(out);
    out << "grey " << fgWhite << "white " << fgGray << "grey";
    EXPECT_EQ(changes->deliveredAtChange, (std::vector<std::string>{"grey ", "grey white "}));
}

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
    stream.reset();
    // The console outlives the stream; its destructor must not reach it.
}

// Holds each colour change open until a reset comes or a short bound passes, and notes a reset
// that started while a change was being written.
class OverlapEffect : public MarkingEffect {
  public:
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
        resetDuringChange = resetDuringChange || applying;
        changed.notify_all();
    }
    bool waitUntilApplying() {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, std::chrono::seconds(10), [this] { return applying; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool applying = false;
    bool restoring = false;
    bool resetDuringChange = false;
};

TEST(Console, AResetFromAnotherThreadWaitsForTheColourChangeInProgress) {
    std::ostringstream out;
    auto owned = std::make_unique<OverlapEffect>(out);
    OverlapEffect* effect = owned.get();
    Console console(std::move(owned));
    console.attach(out);
    std::thread mainThread([&] { console.setForeground(kColourWhite); });
    ASSERT_TRUE(effect->waitUntilApplying());
    std::thread controlThread([&] { console.restore(); });
    mainThread.join();
    controlThread.join();
    std::lock_guard<std::mutex> guard(effect->mutex);
    EXPECT_TRUE(effect->restoring);
    EXPECT_FALSE(effect->resetDuringChange);
}

}  // namespace
