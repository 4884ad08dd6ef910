// A module that holds an ordered list of child modules and runs them as one: each process()
// copies the container's inputs in, processes every child in list order, and copies the outputs
// out. prepare() sorts the children so that every module runs after the modules it reads,
// breaking feedback loops; the order is computed once, not per frame.
//
// Children are not owned. Inside the container a child reads container input i through output i
// of `inputsModule`, and container output j is whatever input j of `outputsModule` reads.
//
// Threads: add, remove, connect and prepare happen before a stream starts and take no lock;
// process() and reset() run on the rendering thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/audio_module.h"

class AudioModuleContainer : public AudioModule {
  public:
    AudioModuleContainer(int32_t inputCount, int32_t outputCount);

    // Leaves every listed child with a null parent and disconnects the children's inputs that
    // read the inner inputs module, which dies with the container.
    ~AudioModuleContainer() override;

    // Resets every child in child order.
    void reset() override;

    // One frame of every child.
    void process() override;

    // Runs `frames` frames one after another, each exactly as process() runs one, and calls
    // afterFrame() after each. The lists are read once for all the frames, so the children, the
    // connections and the port counts must not change meanwhile (they change only before a
    // stream starts). Rendering thread.
    template <typename AfterFrame>
    void processFrames(size_t frames, AfterFrame&& afterFrame);

    // Sorts `children` into processing order; with `recursive`, nested containers are ordered
    // first. Returns false when a feedback loop had to be broken.
    bool prepare(bool recursive);

    size_t childCount() const { return children.size(); }

    // The child at `index`; std::out_of_range when index is not below childCount().
    AudioModule& childAt(size_t index) const;

    std::vector<AudioModule*> children;
    AudioModule inputsModule;
    AudioModule outputsModule;

  private:
    void propagateOrder(AudioModule& module);
};

template <typename AfterFrame>
void AudioModuleContainer::processFrames(size_t frames, AfterFrame&& afterFrame) {
    Port* const* const sources = inputSources.data();
    const size_t inputTotal = inputSources.size();
    Port* const inner = inputsModule.outputs.data();
    AudioModule* const* const childList = children.data();
    const size_t childTotal = children.size();
    Port* const outer = outputs.data();
    const size_t outputTotal = outputs.size();
    Port* const* const innerSources = outputsModule.inputSources.data();
    if (inputTotal == 0 && outputTotal == 0) {
        // A root container: nothing to copy, and so little to keep at hand across the calls.
        for (size_t frame = 0; frame < frames; ++frame) {
            for (size_t k = 0; k < childTotal; ++k) {
                childList[k]->process();
            }
            afterFrame();
        }
        return;
    }
    for (size_t frame = 0; frame < frames; ++frame) {
        for (size_t i = 0; i < inputTotal; ++i) {
            inner[i].value = sources[i]->value;
        }
        for (size_t k = 0; k < childTotal; ++k) {
            childList[k]->process();
        }
        for (size_t j = 0; j < outputTotal; ++j) {
            outer[j].value = innerSources[j]->value;
        }
        afterFrame();
    }
}

// Appends `module` to the children and makes the container its parent. Returns the container.
AudioModuleContainer& add(AudioModuleContainer& container, AudioModule& module);

// Cuts `module` out: siblings that read it and its own inputs are disconnected, it leaves the
// list (the others keep their order) and its parent becomes null. Returns the container.
AudioModuleContainer& remove(AudioModuleContainer& container, AudioModule& module);
