// The Linux device layer over alsa-lib, on the PCM "default" (ALSA's counterpart of the wave
// mapper: it reaches PulseAudio and PipeWire, and ALSA_CARD picks a card as usual).
//
// Each successful open starts one worker thread that owns the PCM from the open attempt to the
// close; the application-facing calls only touch a queue of written buffers under a short lock
// and wake the worker through an eventfd. The worker copies queued frames into a scratch buffer
// of its own (in the device's channel order), writes them to the ring without blocking, and
// hands a buffer back once the device has consumed its last frame (frames written minus the
// ring's fill), so that the audio queued stays within the written buffers plus one period.
// Underruns are recovered and counted; a device that disappears hands every queued buffer back
// and refuses later writes. Every wait of an application-facing call has a time limit, so that
// a stuck sound server cannot hang the caller: reset and close wait at most 150 ms each, and a
// worker that close (or open) gives up on while it is stuck in alsa-lib is left to end by itself;
// it owns its session (queue, eventfd, PCM) and never touches this object or a handed-back
// buffer again. While a few such workers are still stuck, open refuses at once.
//
// Threads: open, close, prepareHeader, unprepareHeader, write and reset may be called from any
// thread, though open and close are not meant to overlap with each other. Finished notices come
// from the worker, or from the caller of reset/close for the buffers those hand back, one at a
// time and in the order written. kWomOpen and kWomClose are given, as winmm gives them, on the
// thread of open and close.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "output/alsa/device_alsa_pcm.h"
#include "output/wave_device.h"

class AlsaWaveOutDevice : public WaveOutDevice {
  public:
    // pcmName: the PCM to play on. configText: where not empty, an ALSA configuration that
    // defines pcmName in place of the system's (for tests and special set-ups); throws
    // std::invalid_argument when it does not parse.
    explicit AlsaWaveOutDevice(std::string pcmName = "default", std::string configText = {});
    ~AlsaWaveOutDevice() override;

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    // Where the device's channel map puts each channel; empty where it states none.
    std::vector<uint32_t> channelSpeakers() const override;

    std::string outputName() const override { return "ALSA"; }

    // Underruns since the latest open (kept after its close).
    uint64_t underrunCount() const override;

    // Sizes the period and the ring of later opens from the output module's queue.
    void planQueue(int32_t bufferCount, std::chrono::microseconds bufferDuration) override;

    // See WaveOutDevice::refuseOpens: an open waiting for the worker's answer gives up at once.
    void refuseOpens(bool refuse) override;

    // True once the open device has been lost (unplugged, server gone): every queued buffer was
    // handed back and writes are refused until it is closed and opened again.
    bool deviceLost() const;

  private:
    struct Session;
    std::shared_ptr<Session> currentSession() const;

    const std::string pcmName;
    const std::string configText;
    AlsaTiming timing;  // set before the first open

    mutable std::mutex sessionMutex;  // guards `session`; held through open
    std::shared_ptr<Session> session;
    uint64_t closedUnderruns = 0;  // the count of the latest session, once closed

    std::mutex openingMutex;           // guards the two below; never held while waiting
    std::shared_ptr<Session> opening;  // the session an open is waiting for
    bool opensRefused = false;
};

// How a session makes its wake-up descriptor: an eventfd by default. Tests replace it to make
// the descriptor fail; nothing else changes it.
extern int (*g_alsaMakeWakeFd)();
