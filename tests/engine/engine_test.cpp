// Modules, connections, containers and the locked container. Every heap allocation of this
// binary is counted, so that the per-frame path can be shown to allocate nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/connections.h"
#include "engine/locked_container.h"
#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"
#include "tests/synthesis/sample_rate_guard.h"
#include "tests/threading/bounded_wait.h"

namespace {
std::atomic<long> allocations{0};
std::atomic<bool> refuseAllocations{false};

void* counted(std::size_t size) {
    ++allocations;
    return refuseAllocations ? nullptr : std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// The single-object forms, which the array forms and the sanitizers' own forms fall back on.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (void* p = counted(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// One output: input 0 passed through, or the number of its frame when it has no inputs.
struct Probe : AudioModule {
    explicit Probe(int32_t inputs) : AudioModule(inputs, 1) {}
    void process() override {
        outputs[0].value = inputs.empty() ? outputs[0].value + 1.0 : inputValue(0);
    }
};

// Resizing moves the port vectors: every reader, wherever it sits, follows its port or, when
// the port is gone, falls back to its own parameter; parameters and other connections survive.
// Counts out of range are refused with nothing changed.
TEST(AudioModule, ResizingPortsRepairsEveryReaderWhereverItSits) {
    EXPECT_THROW(AudioModule(-1, 0), std::length_error);
    AudioModuleContainer home(0, 1), elsewhere(0, 0);
    AudioModule source(2, 3), sibling(2, 0), stranger(1, 0);
    EXPECT_THROW(source.setPortCounts(5, kMaxPortCount + 1), std::length_error);
    add(add(home, source), sibling);
    add(elsewhere, stranger);
    source.connect(1, 0, sibling);
    source.connect(1, 0, stranger);
    source.connect(2, 0, home.outputsModule);
    source.connect(0, 0, source);
    source.setInputValue(1, 7.0);
    sibling.setPortCounts(64, -1);
    source.setPortCounts(64, 500);
    EXPECT_EQ(sibling.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(sibling.inputSources[63], &sibling.inputs[63]);
    EXPECT_EQ(stranger.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(home.outputsModule.inputSources[0], &source.outputs[2]);
    EXPECT_EQ(source.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(source.inputValue(1), 7.0);
    source.setPortCounts(-1, 2);
    EXPECT_EQ(home.outputsModule.inputSources[0], &home.outputsModule.inputs[0]);
}

// A module without a parent that reads its own output must not be left reading freed memory.
TEST(AudioModule, AParentlessModuleReadingItsOwnOutputFollowsItWhenOutputsGrow) {
    AudioModule self(1, 1);
    self.connect(0, 0, self);
    self.setPortCounts(-1, 500);
    EXPECT_EQ(self.inputSources[0], &self.outputs[0]);
}

// connect() returns the reader, so each line checks one form's result and its effect. Bad
// indices and names change nothing and are never added; disconnecting by index, by name or by
// output brings the input back to its parameter, and unknown inputs and outputs are ignored.
TEST(Connections, EveryFormConnectsOrDisconnectsTheNamedPortsAndBadOnesChangeNothing) {
    AudioModuleContainer container(0, 0);
    AudioModule source(0, 2), reader(2, 0);
    add(add(container, source), reader);
    source.outputNames[1] = "o";
    reader.inputNames[1] = "i";
    const std::string i = "i", o = "o", nope = "nope";
    EXPECT_EQ(connect(source, 1, 0, reader).inputSources[0], &source.outputs[1]);
    EXPECT_EQ(connect(source, 0, i, reader).inputSources[1], &source.outputs[0]);
    EXPECT_EQ(connect(source, o, i, reader).inputSources[1], &source.outputs[1]);
    EXPECT_EQ(connect(source, o, 0, reader).inputSources[0], &source.outputs[1]);
    EXPECT_EQ(source.outputs[0].connect(0, reader).inputSources[0], &source.outputs[0]);
    EXPECT_EQ(source.outputs[0].connect(i, reader).inputSources[1], &source.outputs[0]);
    const auto before = reader.inputSources;
    EXPECT_THROW(connect(source, 2, 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, -1, 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 1, 2, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 1, -1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 1, nope, reader), std::out_of_range);
    EXPECT_THROW(connect(source, nope, 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, nope, i, reader), std::out_of_range);
    EXPECT_EQ(reader.inputSources, before);
    reader.inputNames[0] = "x";
    reader.inputs[0].value = 5.0;
    for (int how = 0; how < 3; ++how) {
        source.connect(1, 0, reader);
        disconnect(nope, reader);
        source.disconnectOutput(0);
        EXPECT_TRUE(reader.isConnected(0));
        how == 0 ? disconnect(0, reader)
                 : (how == 1 ? disconnect("x", reader) : source.disconnectOutput(1));
        EXPECT_EQ(reader.inputValue(0), 5.0) << how;
    }
}

// Sources run before their readers, loners first, feedback loops broken as the table says;
// ranks of extreme priorities do not wrap. One letter per module; a link "ab1" makes input 1 of
// b read a.
TEST(AudioModuleContainer, PrepareSortsTheChildrenAsTheTableSays) {
    struct Case {
        std::string before, links, after, inCycle;
        bool acyclic;
        std::vector<uint32_t> priorities = {};
    };
    const Case cases[] = {
        {"os", "so0 so1", "so", "", true},
        {"cdba", "ab0 bc0", "dabc", "", true},
        {"tzyx", "xy0 xz0 yt0 zt1", "xzyt", "", true},
        {"mk", "mk0 km0", "km", "mk", false},
        {"abc", "ab0 bc0 ca0", "cab", "abc", false},
        {"ABS", "AB0 BA0 BS0", "ABS", "A", false},
        {"a", "aa0", "a", "", true},
        {"HhLlo", "hH0 lL0", "olLhH", "", true, {UINT32_MAX, 0, 1, 0, UINT32_MAX}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before + " " + c.links);
        AudioModuleContainer container(0, 0);
        std::deque<AudioModule> modules;
        for (size_t i = 0; i < c.before.size(); ++i) {
            add(container, modules.emplace_back(2, 1));
            modules[i].name = c.before.substr(i, 1);
            modules[i].priority = c.priorities.empty() ? 0 : c.priorities[i];
        }
        auto byName = [&](char n) -> AudioModule& { return modules[c.before.find(n)]; };
        for (size_t k = 0; k < c.links.size(); k += 4) {
            connect(byName(c.links[k]), 0, c.links[k + 2] - '0', byName(c.links[k + 1]));
        }
        EXPECT_EQ(container.prepare(true), c.acyclic);
        std::string after, inCycle;
        for (const AudioModule* child : container.children)
            after += child->name;
        for (const auto& m : modules)
            inCycle += m.inCycle ? m.name : "";
        EXPECT_EQ(after + " " + inCycle, c.after + " " + c.inCycle);
    }
}

// Each frame copies the inputs in, runs the children in list order and copies the outputs out,
// also once the container's ports, and with them its inner modules, were resized.
TEST(AudioModuleContainer, RunsItsChildrenInListOrderBetweenItsInputsAndOutputs) {
    AudioModuleContainer container(1, 1);
    Probe first(1), second(1);
    add(add(container, first), second);
    connect(container.inputsModule, 0, 0, first);
    connect(first, 0, 0, second);
    connect(second, 0, 0, container.outputsModule);
    container.setPortCounts(40, 30);
    connect(container.inputsModule, 39, 29, container.outputsModule);
    container.setInputValue(0, -0.25);
    container.setInputValue(39, 3.0);
    std::vector<double> heard;
    container.processFrames(2, [&] {
        heard.insert(heard.end(), {container.outputValue(0), container.outputValue(29)});
        container.setInputValue(0, 4.0);
    });
    EXPECT_EQ(heard, (std::vector<double>{-0.25, 3.0, 4.0, 3.0}));
    container.reset();
    EXPECT_EQ(first.outputValue(0), 0.0);
}

// Removing or destroying a child takes it out of the list and out of its siblings' inputs;
// destroying the container leaves its children parentless and off its inner inputs module.
TEST(AudioModuleContainer, RemovedOrDestroyedModulesLeaveNothingDangling) {
    AudioModule child(1, 1), middle(1, 1), sink(1, 0);
    {
        AudioModuleContainer container(1, 0);
        add(add(add(container, child), middle), sink);
        connect(container.inputsModule, 0, 0, child);
        connect(child, 0, 0, middle);
        connect(middle, 0, 0, sink);
        remove(container, middle);
        EXPECT_FALSE(sink.isConnected(0) || middle.isConnected(0) || middle.parent != nullptr);
        EXPECT_EQ(container.children, (std::vector<AudioModule*>{&child, &sink}));
    }
    EXPECT_EQ(child.parent, nullptr);
    EXPECT_EQ(child.inputSources[0], &child.inputs[0]);
}

// The renderer holds a locked container while it renders; a child destroyed meanwhile waits.
TEST(LockedContainer, ADestroyedChildLeavesOnlyOnceTheLockIsGivenBack) {
    LockedContainer container(0, 0);
    auto child = std::make_unique<AudioModule>(0, 0);
    add(container, *child);
    std::unique_lock<ILocker> rendering(container);
    std::thread destroyer([&] { child.reset(); });
    EXPECT_FALSE(
        eventually([&] { return container.children.empty(); }, std::chrono::milliseconds(200)));
    rendering.unlock();
    destroyer.join();
    EXPECT_TRUE(container.children.empty());
}

// The per-frame path, a nested container's copies, tone source and fader included, allocates
// nothing at any tone count, rate or change between blocks; a tone count whose phases cannot be
// allocated changes nothing.
TEST(ProcessAllocation, RunningAPreparedGraphAllocatesNothing) {
    SampleRateGuard rate(44100);
    LockedContainer root(0, 0);
    AudioModuleContainer inner(1, 1);
    Probe count(0), late(1), early(1);
    M_Sines few(3), many(M_Sines::kMaxToneCount);
    M_GainRamp fader(5.0, 0.0);
    add(add(add(add(root, add(add(inner, late), early)), count), few), many);
    add(root, fader);
    connect(inner.inputsModule, 0, 0, early);
    connect(early, 0, 0, late);
    connect(late, 0, 0, inner.outputsModule);
    connect(count, 0, 0, inner);
    connect(few, 0, M_GainRamp::kSignalInput, fader);
    root.prepare(true);
    const long before = allocations;
    for (int block = 0; block < 100; ++block) {
        std::lock_guard<ILocker> guard(root);
        g_sampleRate = block % 2 ? 192000 : 44100;
        for (M_Sines* sines : {&few, &many}) {
            sines->setInputValue(0, block % 3 ? 440.0 * block : -1.0);
            sines->setInputValue(1, 0.5);
        }
        fader.setTargetGain(block % 4 ? 1.0 : 0.0);
        root.process();
        root.processFrames(100, [] {});
    }
    EXPECT_EQ(allocations, before);
    EXPECT_EQ(inner.outputValue(0), 10100.0);

    const std::vector<double> phases = few.phases;
    refuseAllocations = true;
    const bool accepted = few.setToneCount(1000);
    refuseAllocations = false;
    EXPECT_FALSE(accepted);
    EXPECT_EQ(few.toneCount, 3);
    EXPECT_EQ(few.phases, phases);
}

}  // namespace
