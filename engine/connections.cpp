#include "engine/connections.h"

#include <stdexcept>

#include "engine/audio_module_container.h"

namespace {

size_t checkedIndex(int32_t index, size_t count, const char* what) {
    // Compared as unsigned, so a negative index is out of range too.
    if (static_cast<uint32_t>(index) >= count) {
        throw std::out_of_range(std::string(what) +
                                " index out of range: " + std::to_string(index));
    }
    return static_cast<size_t>(index);
}

AudioModule& readFrom(Port& port, int32_t input, AudioModule& reader) {
    reader.inputSources[checkedIndex(input, reader.inputSources.size(), "input")] = &port;
    return reader;
}

}  // namespace

AudioModule& Port::connect(int32_t input, AudioModule& reader) {
    return readFrom(*this, input, reader);
}

AudioModule& Port::connect(const std::string& input, AudioModule& reader) {
    return readFrom(*this, reader.inputNames.indexOf(input), reader);
}

AudioModule& AudioModule::connect(int32_t output, int32_t input, AudioModule& reader) {
    Port& port = outputs[checkedIndex(output, outputs.size(), "output")];
    return readFrom(port, input, reader);
}

AudioModule& AudioModule::connect(int32_t output, const std::string& input, AudioModule& reader) {
    return connect(output, reader.inputNames.indexOf(input), reader);
}

AudioModule& AudioModule::connect(const std::string& output, const std::string& input,
                                  AudioModule& reader) {
    const int32_t outputIndex = outputNames.indexOf(output);
    return connect(outputIndex, reader.inputNames.indexOf(input), reader);
}

AudioModule& AudioModule::connect(const std::string& output, int32_t input, AudioModule& reader) {
    return connect(outputNames.indexOf(output), input, reader);
}

void AudioModule::disconnectInput(int32_t input) {
    if (static_cast<uint32_t>(input) < inputSources.size()) {
        inputSources[static_cast<size_t>(input)] = &inputs[static_cast<size_t>(input)];
    }
}

void AudioModule::disconnectOutput(int32_t output) {
    if (parent == nullptr || static_cast<uint32_t>(output) >= outputs.size()) {
        return;
    }
    const Port* port = &outputs[static_cast<size_t>(output)];
    for (AudioModule* child : parent->children) {
        for (size_t i = 0; i < child->inputSources.size(); ++i) {
            if (child->inputSources[i] == port) {
                child->disconnectInput(static_cast<int32_t>(i));
            }
        }
    }
}

AudioModule& connect(AudioModule& source, int32_t output, int32_t input, AudioModule& reader) {
    return source.connect(output, input, reader);
}

AudioModule& connect(AudioModule& source, int32_t output, const std::string& input,
                     AudioModule& reader) {
    return source.connect(output, input, reader);
}

AudioModule& connect(AudioModule& source, const std::string& output, const std::string& input,
                     AudioModule& reader) {
    return source.connect(output, input, reader);
}

AudioModule& connect(AudioModule& source, const std::string& output, int32_t input,
                     AudioModule& reader) {
    return source.connect(output, input, reader);
}

void disconnect(int32_t input, AudioModule& reader) {
    reader.disconnectInput(input);
}

void disconnect(const std::string& input, AudioModule& reader) {
    const int32_t index = reader.inputNames.find(input.c_str());
    if (index >= 0) {
        reader.disconnectInput(index);
    }
}
