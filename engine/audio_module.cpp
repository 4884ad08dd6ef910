#include "engine/audio_module.h"

#include <stdexcept>
#include <utility>

#include "engine/audio_module_container.h"

int32_t g_sampleRate = kDefaultSampleRate;

namespace {

size_t checkedPortCount(int32_t count) {
    if (count < 0 || count > kMaxPortCount) {
        throw std::length_error("port count out of range: " + std::to_string(count));
    }
    return static_cast<size_t>(count);
}

}  // namespace

AudioModule::AudioModule(int32_t inputCount, int32_t outputCount) : sampleRate(&g_sampleRate) {
    const size_t inputTotal = checkedPortCount(inputCount);
    const size_t outputTotal = checkedPortCount(outputCount);
    inputs.reserve(inputTotal);
    for (int32_t i = 0; i < inputCount; ++i) {
        inputs.emplace_back(this, i, 0.0);
    }
    // The ports exist before any pointer to them is taken, and `inputs` is not reallocated.
    inputSources.reserve(inputTotal);
    for (Port& port : inputs) {
        inputSources.push_back(&port);
    }
    outputs.reserve(outputTotal);
    for (int32_t j = 0; j < outputCount; ++j) {
        outputs.emplace_back(this, j, 0.0);
    }
}

AudioModule::~AudioModule() {
    if (parent != nullptr) {
        remove(*parent, *this);
    }
}

void AudioModule::reset() {
    for (Port& port : outputs) {
        port.reset();
    }
}

void AudioModule::setPortCounts(int32_t inputCount, int32_t outputCount) {
    if (inputCount >= 0) {
        checkedPortCount(inputCount);
    }
    if (outputCount >= 0) {
        checkedPortCount(outputCount);
    }
    if (inputCount >= 0) {
        resizeInputs(inputCount);
    }
    if (outputCount >= 0) {
        resizeOutputs(outputCount);
    }
}

void AudioModule::resizeInputs(int32_t inputCount) {
    const auto old = static_cast<int32_t>(inputs.size());
    std::vector<int32_t> ownSourced;
    for (int32_t u = 0; u < old; ++u) {
        // Only inputs that read their own parameter port move with `inputs`; an input that
        // reads one of this module's outputs keeps that connection.
        if (inputSources[static_cast<size_t>(u)] == &inputs[static_cast<size_t>(u)]) {
            ownSourced.push_back(u);
        }
    }
    const auto newSize = static_cast<size_t>(inputCount);
    if (inputCount < old) {
        inputs.resize(newSize, Port(this, 0, 0.0));
        inputSources.resize(newSize);
        for (int32_t i = inputCount; i < old; ++i) {
            inputNames.remove(i);
        }
    } else {
        inputs.reserve(newSize);
        for (int32_t i = old; i < inputCount; ++i) {
            inputs.emplace_back(this, i, 0.0);
        }
        inputSources.reserve(newSize);
        for (int32_t i = old; i < inputCount; ++i) {
            inputSources.push_back(&inputs[static_cast<size_t>(i)]);
        }
    }
    // The own ports may have moved; inputs connected to other modules keep their sources.
    for (int32_t u : ownSourced) {
        if (u < inputCount) {
            inputSources[static_cast<size_t>(u)] = &inputs[static_cast<size_t>(u)];
        }
    }
}

void AudioModule::resizeOutputs(int32_t outputCount) {
    struct Reader {
        AudioModule* module;
        size_t input;
        int32_t output;
    };
    std::vector<Reader> readers;
    auto noteReaders = [&](AudioModule& module) {
        for (size_t i = 0; i < module.inputSources.size(); ++i) {
            const Port* source = module.inputSources[i];
            if (source->owner == this && source->index >= 0 &&
                static_cast<size_t>(source->index) < outputs.size() &&
                source == &outputs[static_cast<size_t>(source->index)]) {
                readers.push_back({&module, i, source->index});
            }
        }
    };
    bool selfNoted = false;
    if (parent != nullptr) {
        for (AudioModule* child : parent->children) {
            selfNoted = selfNoted || child == this;
            noteReaders(*child);
        }
    }
    if (!selfNoted) {
        noteReaders(*this);
    }

    const auto old = static_cast<int32_t>(outputs.size());
    const auto newSize = static_cast<size_t>(outputCount);
    if (outputCount < old) {
        outputs.resize(newSize, Port(this, 0, 0.0));
        for (int32_t j = outputCount; j < old; ++j) {
            outputNames.remove(j);
        }
    } else {
        outputs.reserve(newSize);
        for (int32_t j = old; j < outputCount; ++j) {
            outputs.emplace_back(this, j, 0.0);
        }
    }
    for (const Reader& reader : readers) {
        if (reader.output < outputCount) {
            reader.module->inputSources[reader.input] =
                &outputs[static_cast<size_t>(reader.output)];
        } else {
            // The output it read is gone: the reader falls back to its own parameter port.
            reader.module->inputSources[reader.input] = &reader.module->inputs[reader.input];
        }
    }
}

double AudioModule::outputValue(int32_t i) const {
    if (i < 0 || static_cast<size_t>(i) >= outputs.size()) {
        return 0.0;
    }
    return outputs[static_cast<size_t>(i)].value;
}

double AudioModule::firstValue() const {
    if (!outputs.empty()) {
        return outputs.front().value;
    }
    if (!inputSources.empty()) {
        return inputSources.front()->value;
    }
    return 0.0;
}

void AudioModule::setInputValue(int32_t i, double value) {
    if (i < 0 || static_cast<size_t>(i) >= inputSources.size()) {
        throw std::out_of_range("no input " + std::to_string(i));
    }
    inputSources[static_cast<size_t>(i)]->value = value;
}

bool AudioModule::isConnected(int32_t i) const {
    if (i < 0 || static_cast<size_t>(i) >= inputSources.size()) {
        return false;
    }
    return inputSources[static_cast<size_t>(i)]->owner != this;
}
