// Ordering: every child gets a rank (`order`, negative) so that sources rank below their
// readers. Ranks are handed out by walking backwards from the sinks (children nobody reads):
// propagateOrder gives each source a rank below its reader and descends into a source once all
// of its readers have visited it. Children left unranked sit on feedback loops: the loop is
// broken at the lowest-priority pending child, which is ranked and walked from, until none is
// left. Children with no connection at all go first. A stable sort then orders the list.
#include "engine/audio_module_container.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace {

AudioModule& sourceOf(const AudioModule& module, size_t input) {
    return *module.inputSources[input]->owner;
}

}  // namespace

AudioModuleContainer::AudioModuleContainer(int32_t inputCount, int32_t outputCount)
    : AudioModule(inputCount, outputCount), inputsModule(0, 0), outputsModule(0, 0) {
    kind = KindContainer;
    name = "контейнер";
    inputsModule.kind = KindContainerInputs;
    inputsModule.name = "входы";
    inputsModule.setPortCounts(-1, inputCount);
    outputsModule.kind = KindContainerOutputs;
    outputsModule.name = "выходы";
    outputsModule.setPortCounts(outputCount, -1);
}

AudioModuleContainer::~AudioModuleContainer() {
    for (AudioModule* child : children) {
        child->parent = nullptr;
        for (size_t i = 0; i < child->inputSources.size(); ++i) {
            if (child->inputSources[i]->owner == &inputsModule) {
                child->disconnectInput(static_cast<int32_t>(i));
            }
        }
    }
}

void AudioModuleContainer::reset() {
    for (AudioModule* child : children) {
        child->reset();
    }
}

void AudioModuleContainer::process() {
    processFrames(1, [] {});
}

AudioModule& AudioModuleContainer::childAt(size_t index) const {
    if (index >= children.size()) {
        throw std::out_of_range("no child " + std::to_string(index));
    }
    return *children[index];
}

void AudioModuleContainer::propagateOrder(AudioModule& module) {
    for (size_t i = 0; i < module.inputSources.size(); ++i) {
        AudioModule& source = sourceOf(module, i);
        if (&source == &module) {
            continue;
        }
        if (!module.inCycle) {
            if (source.order >= module.order) {
                source.order = module.order - 1;
            }
        } else if (source.order >= module.order && source.inCycle &&
                   source.priority <= module.priority) {
            source.order = module.order - 1;
        }
        source.visited += 1;
        if (source.visited == source.outDegree) {
            propagateOrder(source);
        }
    }
}

bool AudioModuleContainer::prepare(bool recursive) {
    // Phase 0: degrees.
    for (AudioModule* child : children) {
        child->inDegree = 0;
        child->outDegree = 0;
    }
    for (AudioModule* child : children) {
        for (size_t i = 0; i < child->inputSources.size(); ++i) {
            AudioModule& source = sourceOf(*child, i);
            if (&source != child) {
                child->inDegree += 1;
                source.outDegree += 1;
            }
        }
    }

    // Phase 1: reset and classify.
    bool result = true;
    std::vector<AudioModule*> sinks;
    std::vector<AudioModule*> loners;
    uint32_t maxPriority = 0;
    for (AudioModule* child : children) {
        if (recursive && (child->kind & KindContainer) != 0) {
            static_cast<AudioModuleContainer*>(child)->prepare(recursive);
        }
        child->order = 0;
        child->inCycle = false;
        child->visited = 0;
        maxPriority = std::max(maxPriority, child->priority);
        if (child->outDegree == 0) {
            (child->inDegree > 0 ? sinks : loners).push_back(child);
        }
    }

    // Phase 2: rank from the sinks.
    // In 64 bits: the child count times a priority span of up to 2^32 does not fit 32 bits.
    const auto childTotal = static_cast<int64_t>(children.size());
    for (AudioModule* sink : sinks) {
        sink->order = sink->priority == 0
                          ? -1
                          : -1 - childTotal * (static_cast<int64_t>(maxPriority) -
                                               static_cast<int64_t>(sink->priority) + 1);
        propagateOrder(*sink);
    }

    // Phase 3: break loops.
    size_t previous = static_cast<size_t>(-1);
    std::vector<AudioModule*> pending;
    for (;;) {
        pending.clear();
        for (AudioModule* child : children) {
            if (child->order == 0 && (child->inDegree != 0 || child->outDegree != 0)) {
                child->inCycle = true;
                pending.push_back(child);
            }
        }
        if (pending.empty()) {
            break;
        }
        std::stable_sort(
            pending.begin(), pending.end(),
            [](const AudioModule* a, const AudioModule* b) { return a->priority < b->priority; });
        result = false;
        if (pending.size() == previous) {
            break;
        }
        previous = pending.size();
        AudioModule& first = *pending.front();
        first.order = -1;
        propagateOrder(first);
    }

    // Phase 4: loners go before every connected child.
    int64_t minOrder = 0;
    for (const AudioModule* child : children) {
        minOrder = std::min(minOrder, child->order);
    }
    for (AudioModule* loner : loners) {
        loner->order = minOrder - static_cast<int64_t>(loner->priority) - 1;
    }

    // Phase 5: sort; equal ranks keep their relative order.
    std::stable_sort(
        children.begin(), children.end(),
        [](const AudioModule* a, const AudioModule* b) { return a->order < b->order; });
    return result;
}

AudioModuleContainer& add(AudioModuleContainer& container, AudioModule& module) {
    container.children.push_back(&module);
    module.parent = &container;
    return container;
}

AudioModuleContainer& remove(AudioModuleContainer& container, AudioModule& module) {
    for (AudioModule* child : container.children) {
        if (child == &module) {
            continue;
        }
        for (size_t i = 0; i < child->inputSources.size(); ++i) {
            if (child->inputSources[i]->owner == &module) {
                child->disconnectInput(static_cast<int32_t>(i));
            }
        }
    }
    for (int32_t i = 0; i < module.inputCount(); ++i) {
        module.disconnectInput(i);
    }
    const auto found = std::find(container.children.begin(), container.children.end(), &module);
    if (found != container.children.end()) {
        container.children.erase(found);
    }
    module.parent = nullptr;
    return container;
}
