// The output module: eight inputs, one per speaker of the 7.1 layout, and a playback thread
// that renders the parent container buffer by buffer, converts the frames to the device's
// integer format and keeps the device buffers queued. That thread is the clock of the system.
//
// Threads: open() runs before the playback thread exists and starts it last. close() may be
// called from the main thread and from a console control handler at the same time; the closes
// are serialised. deviceCallback runs on a thread of the device layer and only counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/audio_module.h"
#include "output/device_factory.h"
#include "output/wave_device.h"
#include "threading/thread_loop.h"

class M_WaveOut : public AudioModule, public IThreadLoop {
  public:
    // bufferCount at least 1; bufferBytes a positive multiple of every frame size (46080 is).
    // Throws std::invalid_argument otherwise. The device layer defaults to the platform's.
    M_WaveOut(int32_t bufferCount, int32_t bufferBytes,
              std::unique_ptr<WaveOutDevice> deviceLayer = makeDefaultWaveOutDevice());
    ~M_WaveOut() override;

    // Searches the layouts from the widest that fits maxChannels down to stereo, each at 32, 24
    // and 16 bits, each at 192000 and 96000 Hz; opens the first accepted format, sets
    // g_sampleRate and starts the playback thread. True only if both succeeded.
    bool open(int32_t maxChannels);

    // Stops the playback thread, resets and closes the device. Always true.
    bool close();

    // One pass of the playback loop: fill, hand over, wait for a finished buffer.
    void loop() override;

    static void deviceCallback(WaveOutDevice* device, uint32_t message, uintptr_t instance,
                               uintptr_t param1, uintptr_t param2);

    int32_t bufferCount;
    int32_t bufferBytes;
    WaveOutDevice* device = nullptr;  // the open device layer; null while closed
    WaveFormatExtensible format;
    std::vector<WaveHeader> headers;
    std::vector<std::unique_ptr<char[]>> buffers;
    int32_t currentBuffer = 0;
    int32_t deviceRate = 0;
    int32_t deviceBits = 0;
    int32_t deviceChannels = 0;
    std::atomic<int32_t> freeBuffers{0};

  private:
    std::unique_ptr<WaveOutDevice> deviceLayer;
    std::mutex closeMutex;
};
