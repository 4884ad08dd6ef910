#include "engine/connections.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/audio_module_container.h"

namespace {

class Counter : public AudioModule {
  public:
    explicit Counter(int32_t outputs) : AudioModule(0, outputs) {}
    void process() override {
        for (size_t j = 0; j < outputs.size(); ++j) {
            outputs[j].value += 1.0 + static_cast<double>(j);
        }
    }
};

class Named : public AudioModule {
  public:
    Named() : AudioModule(2, 2) {
        inputNames[0] = "in0";
        inputNames[1] = "in1";
        outputNames[0] = "out0";
        outputNames[1] = "out1";
    }
};

TEST(Connections, OneOutputFeedsTwoInputsWithTheSameValueEveryFrame) {
    Counter source(1);
    AudioModule reader(2, 0);
    reader.inputNames[0] = "L";
    reader.inputNames[1] = "R";
    AudioModule& returned = connect(source, 0, "L", reader);
    EXPECT_EQ(&returned, &reader);
    connect(source, 0, "R", reader);
    for (int frame = 1; frame <= 3; ++frame) {
        source.process();
        EXPECT_EQ(reader.inputValue(0), frame);
        EXPECT_EQ(reader.inputValue(1), frame);
    }
}

TEST(Connections, EveryFormConnectsTheNamedPorts) {
    Named source;
    Named reader;
    connect(source, 1, 0, reader);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[1]);
    connect(source, 0, std::string("in1"), reader);
    EXPECT_EQ(reader.inputSources[1], &source.outputs[0]);
    connect(source, std::string("out1"), std::string("in1"), reader);
    EXPECT_EQ(reader.inputSources[1], &source.outputs[1]);
    connect(source, std::string("out0"), 0, reader);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[0]);
    EXPECT_EQ(&source.outputs[1].connect(0, reader), &reader);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[1]);
    source.outputs[0].connect("in1", reader);
    EXPECT_EQ(reader.inputSources[1], &source.outputs[0]);
}

TEST(Connections, TheLastConnectWins) {
    Counter source(2);
    AudioModule reader(1, 0);
    source.connect(0, 0, reader);
    source.connect(1, 0, reader);
    EXPECT_EQ(reader.inputSources[0], &source.outputs[1]);
}

TEST(Connections, BadIndicesAndUnknownNamesThrowAndChangeNothing) {
    Named source;
    Named reader;
    connect(source, 0, 0, reader);
    const auto before = reader.inputSources;
    EXPECT_THROW(connect(source, 2, 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 0, -1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, -1, 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 0, 2, reader), std::out_of_range);
    EXPECT_THROW(connect(source, 0, std::string("nope"), reader), std::out_of_range);
    EXPECT_THROW(connect(source, std::string("nope"), 1, reader), std::out_of_range);
    EXPECT_THROW(connect(source, std::string("nope"), std::string("in1"), reader),
                 std::out_of_range);
    EXPECT_THROW(source.outputs[0].connect(2, reader), std::out_of_range);
    EXPECT_THROW(source.outputs[0].connect(-1, reader), std::out_of_range);
    EXPECT_THROW(source.outputs[0].connect("nope", reader), std::out_of_range);
    EXPECT_EQ(reader.inputSources, before);
    EXPECT_EQ(reader.inputNames.find("nope"), -1);
    EXPECT_EQ(source.outputNames.find("nope"), -1);
}

TEST(Connections, ParameterValueSurvivesConnectAndDisconnect) {
    Counter source(1);
    AudioModule reader(1, 0);
    reader.inputNames[0] = "x";
    reader.setInputValue(0, 5.0);
    source.connect(0, 0, reader);
    source.process();
    EXPECT_EQ(reader.inputValue(0), 1.0);
    disconnect(0, reader);
    EXPECT_EQ(reader.inputValue(0), 5.0);
    source.connect(0, 0, reader);
    disconnect("x", reader);
    EXPECT_EQ(reader.inputValue(0), 5.0);
    disconnect("unknown", reader);
    disconnect(7, reader);
    reader.disconnectInput(-1);
    EXPECT_EQ(reader.inputValue(0), 5.0);
}

TEST(Connections, DisconnectOutputReleasesOnlyReadersOfThatOutput) {
    Counter orphan(1);
    AudioModuleContainer container(0, 0);
    Counter source(2);
    AudioModule first(2, 0);
    AudioModule second(1, 0);
    add(add(add(container, source), first), second);
    source.connect(0, 0, first);
    source.connect(1, 1, first);
    source.connect(0, 0, second);
    source.disconnectOutput(0);
    EXPECT_FALSE(first.isConnected(0));
    EXPECT_TRUE(first.isConnected(1));
    EXPECT_FALSE(second.isConnected(0));

    source.connect(0, 0, second);
    source.disconnectOutput(5);
    orphan.connect(0, 0, first);
    orphan.disconnectOutput(0);  // no parent: nothing happens
    EXPECT_TRUE(second.isConnected(0));
    EXPECT_TRUE(first.isConnected(0));
}

TEST(Connections, ModuleMayReadItsOwnOutput) {
    AudioModule module(1, 1);
    module.connect(0, 0, module);
    EXPECT_EQ(module.inputSources[0], &module.outputs[0]);
    EXPECT_FALSE(module.isConnected(0));
}

}  // namespace
