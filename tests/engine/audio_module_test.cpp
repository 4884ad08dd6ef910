#include "engine/audio_module.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/audio_module_container.h"
#include "engine/connections.h"

namespace {

// Writes a fixed value to every output, so that reset() has something to undo.
class Constant : public AudioModule {
  public:
    Constant(int32_t inputs, int32_t outputs, double v) : AudioModule(inputs, outputs), v(v) {}
    void process() override {
        for (Port& port : outputs) {
            port.value = v;
        }
    }
    double v;
};

TEST(AudioModule, NewModuleReadsZeroEverywhereAndReportsInvalidOutputsAsZero) {
    AudioModule module(2, 1);
    EXPECT_EQ(module.inputValue(0), 0.0);
    EXPECT_EQ(module.inputValue(1), 0.0);
    EXPECT_EQ(module.outputValue(0), 0.0);
    EXPECT_EQ(module.outputValue(1), 0.0);
    EXPECT_EQ(module.outputValue(-1), 0.0);
    EXPECT_EQ(module.sampleRate, &g_sampleRate);
    EXPECT_EQ(module.kind, KindModule);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(module.inputs[i].owner, &module);
        EXPECT_EQ(module.inputs[i].index, i);
        EXPECT_FALSE(module.isConnected(i));
    }
}

TEST(AudioModule, FirstValuePrefersOutputThenInputThenZero) {
    AudioModule none(0, 0);
    EXPECT_EQ(none.firstValue(), 0.0);
    AudioModule sinkOnly(1, 0);
    sinkOnly.setInputValue(0, 0.25);
    EXPECT_EQ(sinkOnly.firstValue(), 0.25);
    Constant source(1, 1, 0.5);
    source.process();
    EXPECT_EQ(source.firstValue(), 0.5);
}

TEST(AudioModule, RefusesCountsThatCannotBeReserved) {
    EXPECT_THROW(AudioModule(-1, 0), std::length_error);
    EXPECT_THROW(AudioModule(0, kMaxPortCount + 1), std::length_error);
    AudioModule module(1, 1);
    EXPECT_THROW(module.setPortCounts(kMaxPortCount + 1, -1), std::length_error);
    EXPECT_EQ(module.inputCount(), 1);
}

TEST(AudioModule, ParameterWriteChangesOnlyThatInput) {
    AudioModule module(3, 0);
    module.setInputValue(0, 440.0);
    EXPECT_EQ(module.inputValue(0), 440.0);
    EXPECT_EQ(module.inputValue(1), 0.0);
    EXPECT_EQ(module.inputValue(2), 0.0);
    EXPECT_THROW(module.setInputValue(3, 1.0), std::out_of_range);
}

TEST(AudioModule, ResetRestoresInitialOutputValues) {
    Constant module(0, 3, 0.75);
    module.process();
    module.reset();
    for (const Port& port : module.outputs) {
        EXPECT_EQ(port.value, 0.0);
    }
}

TEST(AudioModule, SetPortCountsWithNegativeCountsChangesNothing) {
    Constant source(0, 1, 1.0);
    AudioModule reader(2, 2);
    reader.setInputValue(1, 3.0);
    source.connect(0, 0, reader);
    reader.setPortCounts(-1, -1);
    EXPECT_EQ(reader.inputCount(), 2);
    EXPECT_EQ(reader.outputCount(), 2);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(reader.inputValue(1), 3.0);
}

TEST(AudioModule, GrowingInputsKeepsConnectionsAndParameterValues) {
    Constant source(0, 1, 1.0);
    AudioModule reader(2, 1);
    source.connect(0, 0, reader);
    reader.setInputValue(1, 7.0);

    reader.setPortCounts(64, -1);
    source.process();
    EXPECT_EQ(reader.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(reader.inputValue(0), 1.0);
    EXPECT_EQ(reader.inputSources[1], &reader.inputs[1]);
    EXPECT_EQ(reader.inputValue(1), 7.0);
    for (int i = 2; i < 64; ++i) {
        EXPECT_EQ(reader.inputSources[i], &reader.inputs[i]);
        EXPECT_EQ(reader.inputValue(i), 0.0);
    }
}

TEST(AudioModule, InputReadingItsOwnOutputSurvivesInputResize) {
    AudioModule module(1, 1);
    module.connect(0, 0, module);
    module.setPortCounts(16, -1);
    EXPECT_EQ(module.inputSources[0], &module.outputs[0]);
}

TEST(AudioModule, ShrinkingInputsDropsTheirNames) {
    AudioModule module(4, 0);
    const char* names[] = {"a", "b", "c", "d"};
    for (int i = 0; i < 4; ++i) {
        module.inputNames[i] = names[i];
    }
    module.setPortCounts(2, -1);
    EXPECT_EQ(module.inputCount(), 2);
    EXPECT_EQ(module.inputNames.indexOf("a"), 0);
    EXPECT_EQ(module.inputNames.indexOf("b"), 1);
    EXPECT_EQ(module.inputNames.find("c"), -1);
    EXPECT_EQ(module.inputNames.find("d"), -1);
    EXPECT_EQ(module.inputNames.nameOf(3), "");
}

TEST(AudioModule, GrowingOutputsKeepsSiblingReadersOnTheirOutput) {
    AudioModuleContainer container(0, 0);
    AudioModule source(0, 2);
    AudioModule reader(2, 0);
    add(add(container, source), reader);
    source.connect(1, 0, reader);
    source.connect(0, 1, reader);
    source.setPortCounts(-1, 100);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(reader.inputSources[1], &source.outputs[0]);
}

// Readers that are not siblings of the source: in another container, the source's container's
// own outputs module, the source itself without a parent, a parentless reader. Growing the
// outputs moves them; shrinking them cuts the readers of removed outputs.
TEST(AudioModule, ResizingOutputsRepairsEveryReaderWhereverItSits) {
    AudioModuleContainer home(0, 1);
    AudioModuleContainer elsewhere(0, 0);
    Constant source(1, 3, 0.5);
    AudioModule stranger(1, 0);
    AudioModule loose(1, 0);
    Constant self(1, 1, 0.25);
    add(home, source);
    add(elsewhere, stranger);
    source.connect(1, 0, stranger);
    source.connect(2, 0, home.outputsModule);
    source.connect(1, 0, loose);
    self.connect(0, 0, self);

    source.setPortCounts(-1, 500);
    self.setPortCounts(-1, 500);
    source.process();
    self.process();
    home.process();
    EXPECT_EQ(stranger.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(loose.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(home.outputsModule.inputSources[0], &source.outputs[2]);
    EXPECT_EQ(home.outputValue(0), 0.5);
    EXPECT_EQ(self.inputSources[0], &self.outputs[0]);
    EXPECT_EQ(self.inputValue(0), 0.25);

    source.setPortCounts(-1, 2);
    EXPECT_EQ(stranger.inputSources[0], &source.outputs[1]);
    EXPECT_EQ(home.outputsModule.inputSources[0], &home.outputsModule.inputs[0]);
}

TEST(AudioModule, ShrinkingOutputsDisconnectsReadersOfRemovedOutputs) {
    AudioModuleContainer container(0, 0);
    AudioModule source(0, 3);
    AudioModule reader(2, 0);
    add(add(container, source), reader);
    reader.setInputValue(1, 9.0);
    source.connect(0, 0, reader);
    source.connect(2, 1, reader);
    source.setPortCounts(-1, 1);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(reader.inputSources[1], &reader.inputs[1]);
    EXPECT_EQ(reader.inputValue(1), 9.0);
}

TEST(PortNames, AliasesResolveAndTheLastNameIsReported) {
    PortNames names;
    names[0] = "левый";
    names[0] = "L";
    (names[1] = "right") = "R";
    EXPECT_EQ(names.indexOf("левый"), 0);
    EXPECT_EQ(names.indexOf("L"), 0);
    EXPECT_EQ(names.nameOf(0), "L");
    EXPECT_EQ(names.indexOf("right"), 1);
    EXPECT_EQ(names.nameOf(1), "R");
    EXPECT_EQ(names.nameOf(2), "");
}

TEST(PortNames, UnknownNamesAreNeverInserted) {
    PortNames names;
    names[0] = "L";
    EXPECT_THROW(names.indexOf("X"), std::out_of_range);
    EXPECT_EQ(names.find("X"), -1);
    EXPECT_EQ(names.find(nullptr), -1);
    EXPECT_EQ(names.indexOfName.size(), 1u);
}

TEST(PortNames, RemoveForgetsEveryAliasOfTheIndex) {
    PortNames names;
    names[0] = "a";
    names[1] = "b";
    names[1] = "bb";
    names.remove(1);
    EXPECT_EQ(names.find("b"), -1);
    EXPECT_EQ(names.find("bb"), -1);
    EXPECT_EQ(names.indexOf("a"), 0);
    EXPECT_EQ(names.nameOf(1), "");
}

}  // namespace
