// The device layer over PulseAudio's native protocol (libpulse's asynchronous API on a threaded
// main loop), for PulseAudio servers and for PipeWire's pipewire-pulse.
//
// Each open connects to the server and makes one playback stream with the format's own sample
// format and an explicit channel map (each channel on the speaker its mask bit names), introduced
// with the program's name, icon and process id, the media role of a test signal and a media name
// saying what plays. The main loop's thread is the only thread of the layer: when the server
// asks for audio it copies written buffers into the stream (PulledQueue), and a buffer is
// handed back once the server's clock says its last frame has been heard. The server's buffer is
// kept near two of the output module's buffers, so the audio ahead of the listener stays within
// the module's queue.
//
// A server that goes away (killed, restarted) hands every queued buffer back and refuses later
// writes until the device is opened again. Every wait has a limit: open gives up after 2 s, and
// close and reset never wait for the server (libpulse never blocks on its socket).
//
// Threads: open and close from one thread at a time; write, reset, describeStream and the
// queries from any. Finished notices come from the main loop's thread, or from the caller of
// reset and close for the buffers those hand back, one at a time in the order written.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "output/wave_device.h"

class PulseStream;

class PulseWaveOutDevice : public WaveOutDevice {
  public:
    // sinkName: the sink to play on; empty for the server's default sink (which follows the
    // user's choice of output while playing).
    explicit PulseWaveOutDevice(std::string sinkName = {});
    ~PulseWaveOutDevice() override;

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    uint64_t underrunCount() const override;
    void refuseOpens(bool refuse) override;
    void planQueue(int32_t bufferCount, std::chrono::microseconds bufferDuration) override;
    std::vector<uint32_t> channelSpeakers() const override;
    std::string outputName() const override { return "PulseAudio"; }
    uint32_t serverRateHz() const override;
    void describeStream(const std::string& mediaName) override;

  private:
    std::shared_ptr<PulseStream> current() const;

    const std::string sinkName;
    std::chrono::microseconds bufferDuration{30000};

    mutable std::mutex mutex;             // guards the members below; never held while waiting
    std::shared_ptr<PulseStream> stream;  // the open stream, or the one an open waits for
    std::string mediaName;
    std::vector<uint32_t> speakers;  // of the open stream's channels
    bool opensRefused = false;
    uint64_t closedUnderruns = 0;
};
