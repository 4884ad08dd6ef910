// The base of every processing unit. A module has numbered inputs and outputs, each carrying one
// double, optionally named. One call of process() computes one sample frame. Input i reads the
// `value` of the Port that inputSources[i] points at: its own Port in `inputs` while
// unconnected (a parameter), or an output Port of another module once connected.
//
// Threads: structure (ports, names, connections) is changed before a stream starts, on one
// thread. process() and reset() run on the rendering thread; parameter writes from other threads
// are serialised by the caller with the container's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/port.h"
#include "engine/port_names.h"

class AudioModuleContainer;

// What sort of module this is. Only KindContainer is acted upon (by the container's ordering).
inline constexpr uint32_t KindModule = 0x01;
inline constexpr uint32_t KindContainer = 0x02;
inline constexpr uint32_t KindContainerInputs = 0x04;
inline constexpr uint32_t KindContainerOutputs = 0x08;
inline constexpr uint32_t KindThreaded = 0x10;

// The program-wide sampling rate in Hz, set by the output module when it opens a device.
extern int32_t g_sampleRate;
inline constexpr int32_t kDefaultSampleRate = 44100;

// The largest number of inputs or outputs one module may have.
inline constexpr int32_t kMaxPortCount = 1 << 20;

class AudioModule {
  public:
    // Throws std::length_error for a negative count or one above kMaxPortCount.
    AudioModule(int32_t inputCount, int32_t outputCount);

    // Takes the module out of its parent container first, so that the container never lists a
    // destroyed child and no sibling keeps reading a destroyed port. A parent with a lock (a
    // LockedContainer) is changed under that lock, since it may be rendering meanwhile.
    virtual ~AudioModule();

    AudioModule(const AudioModule&) = delete;
    AudioModule& operator=(const AudioModule&) = delete;

    // Every output's value back to its initial value.
    virtual void reset();

    // One sample frame. The base computes nothing.
    virtual void process() {}

    // Changes the number of inputs and outputs; a negative count leaves that side as it is.
    // Connections survive the move of the port vectors: every module that reads a moved port,
    // wherever it sits, is pointed at the port's new place, and readers of removed ports are
    // disconnected. A container resizes its inner inputs and outputs modules along with its own
    // ports. Throws std::length_error for a count above kMaxPortCount.
    void setPortCounts(int32_t inputCount, int32_t outputCount);

    // Value of output i, or 0.0 for an index that is not an output.
    double outputValue(int32_t i) const;

    // Output 0 if there are outputs, else what input 0 reads, else 0.0.
    double firstValue() const;

    // What input i reads. Unchecked: this is the per-frame read.
    double inputValue(int32_t i) const { return inputSources[static_cast<size_t>(i)]->value; }

    // Sets the parameter carried by input i: writes the Port that input i reads.
    // Throws std::out_of_range for an index that is not an input.
    void setInputValue(int32_t i, double value);

    int32_t inputCount() const { return static_cast<int32_t>(inputs.size()); }
    int32_t outputCount() const { return static_cast<int32_t>(outputs.size()); }

    // True when input i reads a port of another module.
    bool isConnected(int32_t i) const;

    // Connect one of this module's outputs to an input of `reader`, by index or by name.
    // Every form throws std::out_of_range (changing nothing) for an index out of range or a name
    // that was never given, and returns the reader.
    AudioModule& connect(int32_t output, int32_t input, AudioModule& reader);
    AudioModule& connect(int32_t output, const std::string& input, AudioModule& reader);
    AudioModule& connect(const std::string& output, const std::string& input, AudioModule& reader);
    AudioModule& connect(const std::string& output, int32_t input, AudioModule& reader);

    // Points input i back at its own port. An invalid index is ignored.
    void disconnectInput(int32_t input);

    // Disconnects every input of the parent's children that reads output `output`.
    // Without a parent, or with an invalid index, nothing happens.
    void disconnectOutput(int32_t output);

    std::vector<Port> inputs;
    const int32_t* sampleRate;
    uint32_t kind = KindModule;
    std::vector<Port*> inputSources;
    std::vector<Port> outputs;
    std::string name;
    AudioModuleContainer* parent = nullptr;
    PortNames inputNames;
    PortNames outputNames;

    // Scheduling fields, written only by the container's ordering. The rank is 64 bits wide
    // because it is scaled by the child count times a span of 32-bit priorities.
    int64_t order = 0;
    bool inCycle = false;
    uint32_t priority = 0;
    uint32_t visited = 0;
    uint32_t inDegree = 0;
    uint32_t outDegree = 0;

  private:
    void resizeInputs(int32_t inputCount);
    void resizeOutputs(int32_t outputCount);
};
