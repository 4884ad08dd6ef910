// Sets the program-wide sampling rate for one test and restores the previous rate afterwards.
#pragma once

#include <cstdint>

#include "engine/audio_module.h"

class SampleRateGuard {
  public:
    explicit SampleRateGuard(int32_t hz) : saved(g_sampleRate) { g_sampleRate = hz; }
    ~SampleRateGuard() { g_sampleRate = saved; }
    SampleRateGuard(const SampleRateGuard&) = delete;
    SampleRateGuard& operator=(const SampleRateGuard&) = delete;

  private:
    int32_t saved;
};
