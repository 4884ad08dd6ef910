// Modules, connections, containers and the locked container.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/connections.h"
#include "engine/locked_container.h"
#include "tests/threading/bounded_wait.h"

namespace {

using Names = std::vector<std::string>;

// One output: input 0 passed through, or the number of its frame without inputs; logs its calls.
class Probe : public AudioModule {
  public:
    Probe(std::string label, int32_t inputs, Names* log = nullptr)
        : AudioModule(inputs, 1), log(log) {
        name = std::move(label);
    }
    void process() override {
        outputs[0].value = inputs.empty() ? outputs[0].value + 1.0 : inputValue(0);
        if (log != nullptr)
            log->push_back(name);
    }
    void reset() override {
        AudioModule::reset();
        if (log != nullptr)
            log->push_back("reset " + name);
    }
    Names* log;
};

Names namesOf(const AudioModuleContainer& container) {
    Names names;
    for (const AudioModule* child : container.children)
        names.push_back(child->name);
    return names;
}

TEST(AudioModule, RefusesPortCountsOutOfRangeChangingNothing) {
    EXPECT_THROW(AudioModule(-1, 0), std::length_error);
    EXPECT_THROW(AudioModule(0, kMaxPortCount + 1), std::length_error);
    AudioModule module(1, 1);
    EXPECT_THROW(module.setPortCounts(5, kMaxPortCount + 1), std::length_error);
    EXPECT_EQ(module.inputCount() + module.outputCount(), 2);
}

// Resizing moves the port vectors: every reader, wherever it sits, follows its port or, when
// the port is gone, falls back to its own parameter; parameters and other connections survive.
TEST(AudioModule, ResizingPortsRepairsEveryReaderWhereverItSits) {
    AudioModuleContainer home(0, 1), elsewhere(0, 0);
    AudioModule source(2, 3), sibling(2, 0), stranger(1, 0);
    add(add(home, source), sibling);
    add(elsewhere, stranger);
    sibling.inputNames[1] = "b";
    source.connect(1, 0, sibling);
    source.connect(1, 0, stranger);
    source.connect(2, 0, home.outputsModule);
    source.connect(0, 0, source);
    source.setInputValue(1, 7.0);
    sibling.setPortCounts(64, -1);
    source.setPortCounts(64, 500);
    source.setPortCounts(-1, -1);
    EXPECT_EQ(sibling.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(sibling.inputSources[63], &sibling.inputs[63]);
    EXPECT_EQ(stranger.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(home.outputsModule.inputSources[0], &source.outputs[2]);
    EXPECT_EQ(source.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(source.inputValue(1), 7.0);
    sibling.setPortCounts(1, -1);
    source.setPortCounts(-1, 2);
    EXPECT_EQ(sibling.inputNames.find("b"), -1);
    EXPECT_EQ(stranger.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(home.outputsModule.inputSources[0], &home.outputsModule.inputs[0]);
}

// A module without a parent that reads its own output must not be left reading freed memory.
TEST(AudioModule, AParentlessModuleReadingItsOwnOutputFollowsItWhenOutputsGrow) {
    AudioModule self(1, 1);
    self.connect(0, 0, self);
    self.setPortCounts(-1, 500);
    EXPECT_EQ(self.inputSources[0], &self.outputs[0]);
}

// connect() returns the reader, so each line checks one form's result and its effect.
TEST(Connections, EveryFormConnectsTheNamedPortsAndBadIndicesOrNamesChangeNothing) {
    AudioModule source(0, 2), reader(2, 0);
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
    EXPECT_THROW(source.outputs[1].connect(2, reader), std::out_of_range);
    EXPECT_THROW(source.outputs[1].connect(nope, reader), std::out_of_range);
    EXPECT_EQ(reader.inputSources, before);
    EXPECT_EQ(reader.inputNames.find("nope") + source.outputNames.find("nope"), -2);
}

// Disconnecting by index, by name or by output brings the input back to its parameter.
TEST(Connections, DisconnectingRestoresTheParameterAndIgnoresUnknownInputs) {
    AudioModuleContainer container(0, 0);
    AudioModule source(0, 2), reader(1, 0);
    add(add(container, source), reader);
    reader.inputNames[0] = "x";
    reader.setInputValue(0, 5.0);
    for (int how = 0; how < 3; ++how) {
        source.connect(0, 0, reader);
        disconnect("unknown", reader);
        disconnect(1, reader);
        disconnect(-1, reader);
        source.disconnectOutput(1);
        EXPECT_TRUE(reader.isConnected(0));
        how == 0 ? disconnect(0, reader)
                 : (how == 1 ? disconnect("x", reader) : source.disconnectOutput(0));
        EXPECT_EQ(reader.inputValue(0), 5.0) << how;
    }
}

// Sources run before their readers, loners first, feedback loops broken as the table says;
// ranks of extreme priorities do not wrap. One letter per module; a link "ab" makes b's next
// input read a.
TEST(AudioModuleContainer, PrepareSortsTheChildrenAsTheTableSays) {
    struct Case {
        std::string before, links, after, inCycle;
        bool acyclic;
        std::vector<uint32_t> priorities = {};
    };
    const Case cases[] = {
        {"os", "so so", "so", "", true},
        {"cdba", "ab bc", "dabc", "", true},
        {"tzyx", "xy xz yt zt", "xzyt", "", true},
        {"mk", "mk km", "km", "mk", false},
        {"abc", "ab bc ca", "cab", "abc", false},
        {"ABS", "AB BA BS", "ABS", "A", false},
        {"pq", "", "pq", "", true},
        {"a", "aa", "a", "", true},
        {"HhLlo", "hH lL", "olLhH", "", true, {UINT32_MAX, 0, 1, 0, UINT32_MAX}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before + " " + c.links);
        AudioModuleContainer container(0, 0);
        std::vector<std::unique_ptr<Probe>> modules;
        auto byName = [&](char n) -> Probe& { return *modules[c.before.find(n)]; };
        for (size_t i = 0; i < c.before.size(); ++i) {
            add(container,
                *modules.emplace_back(std::make_unique<Probe>(c.before.substr(i, 1), 2)));
            modules.back()->priority = c.priorities.empty() ? 0 : c.priorities[i];
        }
        std::string linked;
        for (size_t k = 0; k + 1 < c.links.size(); k += 3) {
            const char reader = c.links[k + 1];
            connect(byName(c.links[k]), 0, std::count(linked.begin(), linked.end(), reader),
                    byName(reader));
            linked += reader;
        }
        EXPECT_EQ(container.prepare(true), c.acyclic);
        std::string after, inCycle;
        for (const AudioModule* child : container.children)
            after += child->name;
        for (const auto& m : modules)
            inCycle += m->inCycle ? m->name : "";
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(inCycle, c.inCycle);
    }
}

TEST(AudioModuleContainer, OnlyARecursivePrepareOrdersNestedContainers) {
    for (bool recursive : {true, false}) {
        AudioModuleContainer outer(0, 0), inner(0, 0);
        Probe reader("reader", 1), source("source", 0);
        add(outer, add(add(inner, reader), source));
        connect(source, 0, 0, reader);
        outer.prepare(recursive);
        EXPECT_EQ(inner.children.front(), recursive ? &source : &reader);
    }
}

// Each frame copies the inputs in, runs the children in list order and copies the outputs out,
// also once the container's ports, and with them its inner modules, were resized.
TEST(AudioModuleContainer, RunsItsChildrenInListOrderBetweenItsInputsAndOutputs) {
    Names log;
    AudioModuleContainer container(1, 1);
    Probe count("count", 0, &log), pass("pass", 1, &log);
    EXPECT_EQ(&add(add(container, count), pass), &container);
    EXPECT_EQ(&container.childAt(1), &pass);
    EXPECT_THROW(container.childAt(2), std::out_of_range);
    connect(container.inputsModule, 0, 0, pass);
    connect(pass, 0, 0, container.outputsModule);
    container.setPortCounts(40, 30);
    connect(container.inputsModule, 39, 29, container.outputsModule);
    container.setInputValue(0, -0.25);
    container.setInputValue(39, 3.0);
    std::vector<double> heard;
    container.processFrames(2, [&] {
        heard.insert(heard.end(), {container.outputValue(0), container.outputValue(29)});
        container.setInputValue(39, 4.0);
        log.push_back("after");
    });
    container.process();
    container.reset();
    EXPECT_EQ(heard, (std::vector<double>{-0.25, 3.0, -0.25, 4.0}));
    EXPECT_EQ(count.outputValue(0), 0.0);
    EXPECT_EQ(log, (Names{"count", "pass", "after", "count", "pass", "after", "count", "pass",
                          "reset count", "reset pass"}));
}

// Removing or destroying a child takes it out of the list and out of its siblings' inputs;
// destroying the container leaves its children parentless and off its inner inputs module.
TEST(AudioModuleContainer, RemovedOrDestroyedModulesLeaveNothingDangling) {
    Probe child("child", 1), middle("middle", 1), sink("sink", 1);
    {
        AudioModuleContainer container(1, 0);
        add(add(add(container, child), middle), sink);
        connect(container.inputsModule, 0, 0, child);
        connect(child, 0, 0, middle);
        connect(middle, 0, 0, sink);
        remove(container, middle);
        EXPECT_FALSE(sink.isConnected(0) || middle.isConnected(0) || middle.parent != nullptr);
        {
            Probe gone("gone", 0);
            connect(gone, 0, 0, sink);
            add(container, gone);
        }
        EXPECT_FALSE(sink.isConnected(0));
        EXPECT_EQ(namesOf(container), (Names{"child", "sink"}));
    }
    EXPECT_EQ(child.parent, nullptr);
    EXPECT_EQ(child.inputSources[0], &child.inputs[0]);
}

// The renderer holds a locked container while it renders; a child destroyed meanwhile waits.
TEST(LockedContainer, ADestroyedChildLeavesOnlyOnceTheLockIsGivenBack) {
    AudioModuleContainer plain(0, 0);
    LockedContainer container(0, 0);
    auto child = std::make_unique<AudioModule>(0, 0);
    EXPECT_EQ(lockerOfParent(*add(plain, *child).children[0]), nullptr);
    remove(plain, *child);
    add(container, *child);
    EXPECT_EQ(lockerOfParent(*child), &container);
    std::unique_lock<ILocker> rendering(container);
    std::thread destroyer([&] { child.reset(); });
    EXPECT_FALSE(
        eventually([&] { return container.children.empty(); }, std::chrono::milliseconds(200)));
    rendering.unlock();
    destroyer.join();
    EXPECT_TRUE(container.children.empty());
}

}  // namespace
