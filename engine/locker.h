// A mix-in that gives an object one non-recursive lock. The renderer finds it from a module's
// parent by a run-time type query; whoever changes parameters of the modules inside takes the
// same lock. lock() and unlock() make it usable with std::lock_guard and std::unique_lock.
#pragma once

#include <mutex>

class ILocker {
  public:
    ILocker() = default;
    ILocker(const ILocker&) = delete;
    ILocker& operator=(const ILocker&) = delete;

    // Waits until the calling thread owns the lock. Never called twice on one thread.
    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

  protected:
    ~ILocker() = default;

  private:
    std::mutex mutex;
};

// The lock of a module's container, or null when the container has none.
class AudioModule;
ILocker* lockerOfParent(const AudioModule& module);
