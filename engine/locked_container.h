// A container that is also an ILocker: the rendering thread holds the lock while it renders a
// block of frames, and other threads hold it while they change the children's parameters.
// process() itself takes no lock.
#pragma once

#include <cstdint>

#include "engine/audio_module_container.h"
#include "engine/locker.h"

class LockedContainer : public AudioModuleContainer, public ILocker {
  public:
    LockedContainer(int32_t inputCount, int32_t outputCount)
        : AudioModuleContainer(inputCount, outputCount) {}
};
