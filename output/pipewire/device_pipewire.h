// The device layer over PipeWire's native protocol: one playback stream per open device.
//
// Each open makes a thread loop of its own (the library's thread for this stream), a context,
// a connection to the server and a stream that asks for the open format as it is, with the
// channel positions of its mask; the server converts and mixes. The written buffers wait in a
// PulledQueue; the stream's process callback, on the library's data thread, copies as many
// queued frames as the server asks for into the server's buffer, and hands back every buffer
// the listener has heard by then (the server's clock tells how far playback has got), so the
// audio ahead of the listener stays within the output module's queue. The callback allocates
// nothing and waits for nothing but the queue's short locks.
//
// A server that goes away (the connection's error, or a stream that ends by itself) hands every
// queued buffer back and refuses later writes, so that the output module closes and opens again
// until the server is back. Every wait of an application-facing call has a time limit: open
// waits at most 3 s for the server to accept the stream (and after a server that left it
// unanswered, later opens refuse at once for a second); reset and describeStream only take the
// loop's lock, which the library's thread holds for one callback at a time; close also stops the
// library's threads, which never wait for the server.
//
// Threads: the application-facing calls may come from any thread, though open and close are not
// meant to overlap. Finished notices come from the data thread, or from the caller of reset and
// close for the buffers those hand back (and from the loop's thread when the server is lost),
// one at a time and in the order written. kWomOpen and kWomClose are given on the thread of open
// and close.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "output/pipewire/device_pipewire_list.h"
#include "output/wave_device.h"

class PipewireWaveOutDevice : public WaveOutDevice {
  public:
    // node: the name of the node to play on; empty for the server's default sink.
    explicit PipewireWaveOutDevice(std::string node = {});
    ~PipewireWaveOutDevice() override;

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    // Underruns since the latest open (kept after its close).
    uint64_t underrunCount() const override;
    void refuseOpens(bool refuse) override;
    // Sets the stream's latency of later opens to one buffer's duration.
    void planQueue(int32_t bufferCount, std::chrono::microseconds bufferDuration) override;
    std::vector<uint32_t> channelSpeakers() const override;
    std::string outputName() const override { return "PipeWire"; }
    // The rate of the graph that drives the stream, once the stream has run; 0 before.
    uint32_t serverRateHz() const override;
    void describeStream(const std::string& mediaName) override;

    // True once the open stream has been lost (the server went away): every queued buffer was
    // handed back and writes are refused until it is closed and opened again.
    bool deviceLost() const;

    struct Stream;

  private:
    std::shared_ptr<Stream> currentStream() const;

    const std::string node;

    mutable std::mutex deviceMutex;  // guards the members below; never held while waiting
    std::shared_ptr<Stream> stream;
    std::chrono::microseconds bufferDuration{30'000};
    std::string mediaName;
    uint64_t closedUnderruns = 0;
    std::chrono::steady_clock::time_point silentUntil;  // opens refuse at once until then

    std::mutex openingMutex;  // guards the two below
    std::shared_ptr<Stream> opening;
    bool opensRefused = false;
};
