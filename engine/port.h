// One input or output value of a module. Inputs read the `value` of the Port their
// `inputSources` entry points at; an unconnected input points at the module's own Port, so a
// parameter is simply an unconnected input whose Port value is written.
#pragma once

#include <cstdint>
#include <string>

class AudioModule;

struct Port {
    double initial = 0.0;
    double value = 0.0;
    AudioModule* owner = nullptr;
    int32_t index = 0;

    Port(AudioModule* owner, int32_t index, double v)
        : initial(v), value(v), owner(owner), index(index) {}

    void reset() { value = initial; }

    // Make input `input` of `reader` read this port; the input index is checked like every other
    // connect form (std::out_of_range, nothing changed). Returns the reader.
    AudioModule& connect(int32_t input, AudioModule& reader);
    AudioModule& connect(const std::string& input, AudioModule& reader);
};
