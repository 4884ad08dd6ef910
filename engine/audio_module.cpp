#include "engine/audio_module.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "engine/audio_module_container.h"
#include "engine/locker.h"

int32_t g_sampleRate = kDefaultSampleRate;

namespace {

size_t checkedPortCount(int32_t count) {
    if (count < 0 || count > kMaxPortCount) {
        throw std::length_error("port count out of range: " + std::to_string(count));
    }
    return static_cast<size_t>(count);
}

// Every module alive, so that a port vector that moves can have all of its readers repaired,
// wherever they sit: in another container, inside a container as its inner outputs module, or
// in no container at all. Structure changes are rare and happen before a stream starts; the
// per-frame path never looks here. Never destroyed, so that modules with static storage
// duration may outlive every other static object.
struct ModuleRegistry {
    std::mutex mutex;
    std::vector<AudioModule*> modules;
};

ModuleRegistry& registry() {
    static auto* const instance = new ModuleRegistry;
    return *instance;
}

// An input that reads port `index` of a port vector that is about to move or shrink.
struct PortReader {
    AudioModule* module;
    size_t input;
    size_t index;
};

// Every input of every module that reads one of `ports`. Needs the registry's lock.
std::vector<PortReader> readersOf(const std::vector<Port>& ports, const AudioModule& owner) {
    std::vector<PortReader> readers;
    for (AudioModule* module : registry().modules) {
        for (size_t i = 0; i < module->inputSources.size(); ++i) {
            const Port* source = module->inputSources[i];
            if (source->owner == &owner && source->index >= 0 &&
                static_cast<size_t>(source->index) < ports.size() &&
                source == &ports[static_cast<size_t>(source->index)]) {
                readers.push_back({module, i, static_cast<size_t>(source->index)});
            }
        }
    }
    return readers;
}

// Points the noted readers at the ports' new places; a reader of a port that is gone falls back
// to its own parameter port. Entries that the resize itself erased are skipped.
void repointReaders(const std::vector<PortReader>& readers, std::vector<Port>& ports) {
    for (const PortReader& reader : readers) {
        std::vector<Port*>& sources = reader.module->inputSources;
        if (reader.input >= sources.size()) {
            continue;
        }
        sources[reader.input] = reader.index < ports.size() ? &ports[reader.index]
                                                            : &reader.module->inputs[reader.input];
    }
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
    std::lock_guard<std::mutex> guard(registry().mutex);
    registry().modules.push_back(this);
}

AudioModule::~AudioModule() {
    if (parent != nullptr) {
        // A locked container may be rendering on another thread: leave its list under its lock.
        if (ILocker* locker = lockerOfParent(*this)) {
            std::lock_guard<ILocker> guard(*locker);
            remove(*parent, *this);
        } else {
            remove(*parent, *this);
        }
    }
    std::lock_guard<std::mutex> guard(registry().mutex);
    std::vector<AudioModule*>& modules = registry().modules;
    const auto found = std::find(modules.rbegin(), modules.rend(), this);
    if (found != modules.rend()) {
        modules.erase(std::next(found).base());
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
    // A container's inner modules mirror its own ports: container input i is output i of the
    // inputs module, container output j is input j of the outputs module.
    if (auto* container = dynamic_cast<AudioModuleContainer*>(this)) {
        container->inputsModule.setPortCounts(-1, inputCount);
        container->outputsModule.setPortCounts(outputCount, -1);
    }
}

void AudioModule::resizeInputs(int32_t inputCount) {
    std::lock_guard<std::mutex> guard(registry().mutex);
    // Unconnected inputs read their own ports, which may move; inputs connected to other
    // modules keep their sources.
    const std::vector<PortReader> readers = readersOf(inputs, *this);
    const auto old = static_cast<int32_t>(inputs.size());
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
    repointReaders(readers, inputs);
}

void AudioModule::resizeOutputs(int32_t outputCount) {
    std::lock_guard<std::mutex> guard(registry().mutex);
    const std::vector<PortReader> readers = readersOf(outputs, *this);
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
    repointReaders(readers, outputs);
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
