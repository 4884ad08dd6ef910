#include "engine/locker.h"

#include "engine/audio_module_container.h"

ILocker* lockerOfParent(const AudioModule& module) {
    return dynamic_cast<ILocker*>(module.parent);
}
