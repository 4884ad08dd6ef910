#include "engine/audio_module_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/connections.h"

namespace {

// A module with one output that passes input 0 through, and records when it ran.
class Probe : public AudioModule {
  public:
    Probe(std::string label, int32_t inputs, std::vector<std::string>* log = nullptr)
        : AudioModule(inputs, 1), log(log) {
        name = std::move(label);
    }
    void process() override {
        outputs[0].value = inputs.empty() ? outputs[0].value + 1.0 : inputValue(0);
        if (log != nullptr) {
            log->push_back(name);
        }
    }
    void reset() override {
        AudioModule::reset();
        if (log != nullptr) {
            log->push_back("reset " + name);
        }
    }
    std::vector<std::string>* log;
};

std::vector<std::string> namesOf(const AudioModuleContainer& container) {
    std::vector<std::string> names;
    for (const AudioModule* child : container.children) {
        names.push_back(child->name);
    }
    return names;
}

struct OrderingCase {
    std::string title;
    std::vector<std::string> before;
    // (reader, input, source): reader's input reads source's output 0.
    std::vector<std::tuple<std::string, int, std::string>> connections;
    std::vector<std::string> after;
    std::vector<std::string> inCycle;
    bool result;
};

void PrintTo(const OrderingCase& c, std::ostream* os) {
    *os << c.title;
}

class Ordering : public ::testing::TestWithParam<OrderingCase> {};

TEST_P(Ordering, SortsChildrenAsTheWorkedTableSays) {
    const OrderingCase& c = GetParam();
    AudioModuleContainer container(0, 0);
    std::vector<std::unique_ptr<Probe>> modules;
    auto byName = [&](const std::string& n) -> Probe& {
        for (auto& m : modules) {
            if (m->name == n) {
                return *m;
            }
        }
        throw std::logic_error("no module " + n);
    };
    for (const std::string& n : c.before) {
        modules.push_back(std::make_unique<Probe>(n, 2));
        add(container, *modules.back());
    }
    for (const auto& [reader, input, source] : c.connections) {
        connect(byName(source), 0, input, byName(reader));
    }
    EXPECT_EQ(container.prepare(true), c.result);
    EXPECT_EQ(namesOf(container), c.after);
    for (const auto& m : modules) {
        const bool expected =
            std::find(c.inCycle.begin(), c.inCycle.end(), m->name) != c.inCycle.end();
        EXPECT_EQ(m->inCycle, expected) << m->name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    WorkedResults, Ordering,
    ::testing::Values(OrderingCase{"SourceBeforeSink",
                                   {"sines", "out"},
                                   {{"out", 0, "sines"}, {"out", 1, "sines"}},
                                   {"sines", "out"},
                                   {},
                                   true},
                      OrderingCase{"SinkAddedFirst",
                                   {"out", "sines"},
                                   {{"out", 0, "sines"}, {"out", 1, "sines"}},
                                   {"sines", "out"},
                                   {},
                                   true},
                      OrderingCase{"ChainWithLoner",
                                   {"c", "d", "b", "a"},
                                   {{"b", 0, "a"}, {"c", 0, "b"}},
                                   {"d", "a", "b", "c"},
                                   {},
                                   true},
                      OrderingCase{"Diamond",
                                   {"t", "z", "y", "x"},
                                   {{"y", 0, "x"}, {"z", 0, "x"}, {"t", 0, "y"}, {"t", 1, "z"}},
                                   {"x", "z", "y", "t"},
                                   {},
                                   true},
                      OrderingCase{"TwoModuleLoop",
                                   {"m", "k"},
                                   {{"k", 0, "m"}, {"m", 0, "k"}},
                                   {"k", "m"},
                                   {"k", "m"},
                                   false},
                      OrderingCase{"ThreeModuleLoop",
                                   {"a", "b", "c"},
                                   {{"b", 0, "a"}, {"c", 0, "b"}, {"a", 0, "c"}},
                                   {"c", "a", "b"},
                                   {"a", "b", "c"},
                                   false},
                      OrderingCase{"LoopFeedingASink",
                                   {"A", "B", "S"},
                                   {{"B", 0, "A"}, {"A", 0, "B"}, {"S", 0, "B"}},
                                   {"A", "B", "S"},
                                   {"A"},
                                   false},
                      OrderingCase{"Unconnected", {"p", "q"}, {}, {"p", "q"}, {}, true},
                      OrderingCase{"ReadsItself", {"a"}, {{"a", 0, "a"}}, {"a"}, {}, true}),
    [](const auto& info) { return info.param.title; });

TEST(AudioModuleContainer, EmptyContainerDoesNothingAndPreparesCleanly) {
    AudioModuleContainer container(0, 0);
    container.process();
    container.reset();
    EXPECT_TRUE(container.prepare(true));
    EXPECT_EQ(container.childCount(), 0u);
    EXPECT_THROW(container.childAt(0), std::out_of_range);
    EXPECT_EQ(container.kind, KindContainer);
    EXPECT_EQ(container.inputsModule.kind, KindContainerInputs);
    EXPECT_EQ(container.outputsModule.kind, KindContainerOutputs);
}

TEST(AudioModuleContainer, PassesItsInputToItsOutputWithinTheSameFrame) {
    AudioModuleContainer container(1, 1);
    Probe pass("pass", 1);
    add(container, pass);
    connect(container.inputsModule, 0, 0, pass);
    connect(pass, 0, 0, container.outputsModule);
    for (double v : {0.5, -0.25, 3.0}) {
        container.setInputValue(0, v);
        container.process();
        EXPECT_EQ(container.outputValue(0), v);
    }
}

// The inner modules follow the container's own ports, growing and shrinking, and a reader of
// the container's output in its parent stays on it while the outputs move.
TEST(AudioModuleContainer, ResizingItsPortsResizesTheInnerModules) {
    AudioModuleContainer outer(0, 0);
    AudioModuleContainer container(1, 1);
    Probe pass("pass", 1);
    Probe reader("reader", 1);
    add(container, pass);
    add(add(outer, container), reader);
    connect(container.inputsModule, 0, 0, pass);
    connect(container, 0, 0, reader);

    container.setPortCounts(40, 30);
    EXPECT_EQ(container.inputsModule.outputCount(), 40);
    EXPECT_EQ(container.outputsModule.inputCount(), 30);
    connect(container.inputsModule, 39, 0, container.outputsModule);
    connect(pass, 0, 29, container.outputsModule);
    container.setInputValue(0, 0.75);
    container.setInputValue(39, -0.5);
    outer.process();
    EXPECT_EQ(container.outputValue(0), -0.5);
    EXPECT_EQ(container.outputValue(29), 0.75);
    EXPECT_EQ(reader.inputSources[0], &container.outputs[0]);

    container.setPortCounts(1, 1);
    EXPECT_EQ(container.inputsModule.outputCount(), 1);
    EXPECT_EQ(container.outputsModule.inputCount(), 1);
    outer.process();
    EXPECT_EQ(pass.inputSources[0], &container.inputsModule.outputs[0]);
}

// Priorities span 32 bits; their ranks are scaled by the child count and must not wrap: the
// lowest-priority chain still goes first, and a loner of top priority still goes before all.
TEST(AudioModuleContainer, ExtremePrioritiesOrderAsSmallOnesDo) {
    AudioModuleContainer container(0, 0);
    Probe high("high", 1);
    Probe highSource("highSource", 0);
    Probe low("low", 1);
    Probe lowSource("lowSource", 0);
    Probe loner("loner", 0);
    add(add(add(add(add(container, high), highSource), low), lowSource), loner);
    connect(highSource, 0, 0, high);
    connect(lowSource, 0, 0, low);
    high.priority = UINT32_MAX;
    low.priority = 1;
    loner.priority = UINT32_MAX;
    EXPECT_TRUE(container.prepare(false));
    EXPECT_EQ(namesOf(container),
              (std::vector<std::string>{"loner", "lowSource", "low", "highSource", "high"}));
}

// processFrames() reads the lists once for many frames; frame by frame it must do what process()
// does: copy the inputs in, run the children in order, copy the outputs out, then hand over.
TEST(AudioModuleContainer, ProcessFramesRunsEveryFrameAsProcessDoes) {
    struct Graph {
        std::vector<std::string> log;
        AudioModuleContainer container{1, 2};
        Probe pass{"pass", 1, &log};
        Probe count{"count", 0, &log};
        Graph() {
            add(add(container, pass), count);
            connect(container.inputsModule, 0, 0, pass);
            connect(pass, 0, 0, container.outputsModule);
            connect(count, 0, 1, container.outputsModule);
        }
        std::vector<std::string> frame() {
            log.push_back("after");
            return {std::to_string(container.outputValue(0)),
                    std::to_string(container.outputValue(1))};
        }
    };
    for (int32_t inputs : {1, 0}) {
        Graph stepped;
        Graph batched;
        if (inputs == 0) {
            // A root container: no inputs or outputs to copy.
            for (Graph* g : {&stepped, &batched}) {
                g->container.setPortCounts(0, 0);
            }
        }
        std::vector<std::vector<std::string>> expected;
        std::vector<std::vector<std::string>> got;
        for (double value : {0.5, -2.0}) {
            if (inputs == 1) {
                stepped.container.setInputValue(0, value);
                batched.container.setInputValue(0, value);
            }
            for (int i = 0; i < 3; ++i) {
                stepped.container.process();
                expected.push_back(stepped.frame());
            }
            batched.container.processFrames(3, [&] { got.push_back(batched.frame()); });
        }
        EXPECT_EQ(got, expected) << inputs << " inputs";
        EXPECT_EQ(batched.log, stepped.log) << inputs << " inputs";
    }
}

TEST(AudioModuleContainer, ProcessesAndResetsChildrenInChildOrder) {
    std::vector<std::string> log;
    AudioModuleContainer container(0, 0);
    Probe a("a", 0, &log);
    Probe b("b", 0, &log);
    AudioModuleContainer& returned = add(add(container, b), a);
    EXPECT_EQ(&returned, &container);
    EXPECT_EQ(&container.childAt(0), &b);
    container.process();
    container.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "reset b", "reset a"}));
    EXPECT_EQ(a.parent, &container);
}

TEST(AudioModuleContainer, RecursivePrepareReachesNestedContainers) {
    for (bool recursive : {true, false}) {
        AudioModuleContainer outer(0, 0);
        AudioModuleContainer inner(0, 0);
        Probe reader("reader", 1);
        Probe source("source", 0);
        add(add(inner, reader), source);
        connect(source, 0, 0, reader);
        add(outer, inner);
        outer.prepare(recursive);
        const std::vector<std::string> expected =
            recursive ? std::vector<std::string>{"source", "reader"}
                      : std::vector<std::string>{"reader", "source"};
        EXPECT_EQ(namesOf(inner), expected) << "recursive " << recursive;
    }
}

TEST(AudioModuleContainer, RemoveCutsTheModuleOutCleanly) {
    AudioModuleContainer container(0, 0);
    Probe source("source", 0);
    Probe middle("middle", 1);
    Probe sink("sink", 1);
    add(add(add(container, source), middle), sink);
    connect(source, 0, 0, middle);
    connect(middle, 0, 0, sink);
    remove(container, middle);
    EXPECT_EQ(namesOf(container), (std::vector<std::string>{"source", "sink"}));
    EXPECT_FALSE(sink.isConnected(0));
    EXPECT_FALSE(middle.isConnected(0));
    EXPECT_EQ(middle.parent, nullptr);
}

TEST(AudioModuleContainer, DestroyingTheContainerLeavesChildrenWithoutParent) {
    Probe child("child", 1);
    {
        AudioModuleContainer container(1, 0);
        add(container, child);
        connect(container.inputsModule, 0, 0, child);
    }
    EXPECT_EQ(child.parent, nullptr);
    // It no longer reads the destroyed inner module.
    EXPECT_EQ(child.inputSources[0], &child.inputs[0]);
    child.process();
}

TEST(AudioModuleContainer, ADestroyedChildLeavesTheContainerAndItsReaders) {
    AudioModuleContainer container(0, 0);
    Probe sink("sink", 1);
    {
        Probe source("source", 0);
        add(add(container, source), sink);
        connect(source, 0, 0, sink);
    }
    EXPECT_EQ(namesOf(container), std::vector<std::string>{"sink"});
    EXPECT_FALSE(sink.isConnected(0));
    container.process();
}

}  // namespace
