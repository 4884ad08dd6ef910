// The output module: eight inputs, one per speaker of the 7.1 layout, and a playback thread
// that renders the parent container buffer by buffer, converts the frames to the device's
// integer format and keeps the device buffers queued. That thread is the clock of the system.
//
// open() searches a fixed list of formats (layouts from the widest that fits down to stereo,
// each at 32, 24 and 16 bits, each at 192000 and 96000 Hz) and opens the first one the device
// layer accepts. The playback thread then cycles the buffers: fill one under the parent's lock,
// hand it to the device, wait (11 ms polls) until the device has finished one. The device layer
// reports each finished buffer through deviceCallback, which only counts it in freeBuffers.
//
// A device lost while playing (the device layer refuses a write: unplugged, server gone) is
// reopened by the playback thread with the same format, at growing intervals up to 2 s, for as
// long as the module is open; playback then goes on from the graph's current state. The module
// reports the loss and the return through the event hook, and remembers the loss until the next
// open (deviceLostSinceOpen).
//
// Threads: open() and close() run on the application's threads (the main thread, a console
// control handler); they are serialised with each other, and each ends the playback thread
// before it touches the device. deviceCallback runs on a thread of the device layer (or on the
// caller of the device's reset or close) and only counts.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/audio_module.h"
#include "output/device_factory.h"
#include "output/wave_device.h"
#include "threading/thread_loop.h"

// One channel layout of the format search: its channel count and speaker mask. The channels of
// a frame are stored in the order of rising mask bits; input k feeds channel k.
struct ChannelLayout {
    int32_t channels;
    uint32_t channelMask;
};

// The format search, in search order: layouts (7.1, 5.1, quad, stereo), depths, rates.
inline constexpr std::array<ChannelLayout, 4> kChannelLayouts = {{
    {8, 0xFF},
    {6, 0x3F},
    {4, 0x33},
    {2, 0x03},
}};
// The 7.1 layout of today's home systems, with the side pair (0x200, 0x400) in place of the pair
// beside the centre; asked for with FormatFilter::sideSurround.
inline constexpr ChannelLayout kSideLayout = {8, 0x63F};
inline constexpr std::array<int32_t, 3> kSampleDepthsBits = {32, 24, 16};
inline constexpr std::array<int32_t, 2> kSampleRatesHz = {192000, 96000};

// Narrows the format search: a value that is set replaces that dimension's list, so the search
// tries only it, in the search's own order for the rest. A rate need not be one of the search's.
struct FormatFilter {
    std::optional<int32_t> channels;
    std::optional<int32_t> bits;
    std::optional<int32_t> rateHz;
    bool sideSurround = false;  // 8 channels as kSideLayout
};

// The integer-PCM WAVE_FORMAT_EXTENSIBLE record of one open attempt.
WaveFormatExtensible pcmFormat(int32_t rateHz, int32_t bits, const ChannelLayout& layout);

// What the event hook is told.
enum class WaveOutEvent {
    DeviceLost,      // the device stopped taking buffers; the module keeps reopening it
    DeviceRestored,  // the device is open again and playback goes on
};

class M_WaveOut : public AudioModule, public IThreadLoop {
  public:
    // bufferCount at least 1; every buffer plays bufferDuration (positive) of the opened format,
    // whatever its rate and frame size, so that the device always has the same time queued.
    // Throws std::invalid_argument otherwise. The device layer defaults to the platform's.
    M_WaveOut(int32_t bufferCount, std::chrono::microseconds bufferDuration,
              std::unique_ptr<WaveOutDevice> deviceLayer = makeDefaultWaveOutDevice());

    // Ends the playback thread, then closes the device if it is still open, so that the device
    // layer never calls back into a destroyed module.
    ~M_WaveOut() override;

    // Searches the layouts from the widest that fits maxChannels down to stereo, each at 32, 24
    // and 16 bits, each at 192000 and 96000 Hz; opens the first accepted format, sets
    // g_sampleRate and starts the playback thread. True only if both succeeded. A module that is
    // already open is closed first. A playback thread that cannot be started, or a device layer
    // that cannot start its own (kWaveNoMemory), ends the search: open is false with the device
    // closed, and threadFailed() tells why. Application threads; serialised with close().
    bool open(int32_t maxChannels, const FormatFilter& filter = {});

    // True when the latest open failed because a thread could not be started. Any thread.
    bool threadFailed() const;

    // Makes the next open play exactly round(seconds x rate) frames and then nothing more; the
    // last buffer handed over is cut to the frames that remain. Application threads, before
    // open.
    void limitPlayback(double seconds);

    // True once every frame of a limited playback has been rendered and the device has finished
    // all of it; false when the device was lost or `limit` passes first. Any application thread.
    bool waitUntilPlayedOut(std::chrono::milliseconds limit);

    // Stops the playback thread, resets and closes the device. Always true. Any application
    // thread, any number of times; concurrent calls are serialised.
    bool close();

    // One pass of the playback loop: fill, hand over, wait for a finished buffer. Playback
    // thread only.
    void loop() override;

    // Sizes the buffers for `format`: bufferFrames frames of bufferDuration at its rate, and
    // bufferBytes of them. open() does it; a caller that sets `format` by hand calls it before
    // fillBuffer. Only while no playback thread runs.
    void sizeBuffers();

    // Renders the parent container into buffer `index` in the current format, holding the
    // parent's lock (where it has one) for the whole buffer. False, with nothing rendered, when
    // the module has no parent, `format` is not one the search produces or the buffers were not
    // sized for it. Throws std::out_of_range for an index that is not a buffer. Called by the
    // playback thread; other callers only while no playback thread runs.
    bool fillBuffer(int32_t index);

    // Sets the function told about WaveOutEvents (or none, with an empty one). It is called on
    // the playback thread, once per loss and once per return, never with a module lock held.
    // Only while the module is closed.
    void setEventHook(std::function<void(WaveOutEvent)> hook);

    // True once the device has been lost since the latest open, even if it has come back since.
    // Any thread.
    bool deviceLostSinceOpen() const;

    // Underruns that the device layer counted since the latest open; still known after close().
    // Any thread.
    uint64_t underrunCount() const;

    // What the device layer says of its output (see WaveOutDevice::outputName, serverRateHz) and
    // the description it gives the stream (describeStream). Any application thread.
    std::string outputName() const { return deviceLayer->outputName(); }
    uint32_t serverRateHz() const { return deviceLayer->serverRateHz(); }
    void describeStream(const std::string& mediaName) { deviceLayer->describeStream(mediaName); }

    // The device layer's finished-buffer callback: counts kWomDone notices in freeBuffers of the
    // module given as instance data. Device layer's thread; takes no lock.
    static void deviceCallback(WaveOutDevice* device, uint32_t message, uintptr_t instance,
                               uintptr_t param1, uintptr_t param2);

    int32_t bufferCount;
    std::chrono::microseconds bufferDuration;
    int32_t bufferFrames = 0;         // of the sized format
    int32_t bufferBytes = 0;          // of the sized format
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
    // Stops the thread, resets and closes the device. The caller holds closeMutex.
    void closeLocked();

    // Fills `format` for one attempt and asks the device layer to open it; 0 means accepted.
    WaveResult tryOpen(int32_t rateHz, int32_t bits, const ChannelLayout& layout);

    // Blocks until a buffer is free or a stop is requested, looking every 11 ms.
    void waitForFreeBuffer();

    // Cuts the buffer at currentBuffer to the frames that a limited playback still owes; true
    // when there is nothing left to hand over (and the played-out notice once all is finished).
    bool cutToLimit(WaveHeader& header);

    std::optional<double> limitSeconds;  // set before open; read by open
    int64_t framesLeft = -1;             // of a limited playback; -1 without a limit
    std::mutex playedOutMutex;
    std::condition_variable playedOutChanged;
    bool playedOut = false;  // guarded by playedOutMutex

    // Starts the headers and the free count afresh for a newly opened device.
    void resetBuffers();

    // Playback thread: closes the lost device and tries to reopen it with the same format until
    // it opens or a stop is requested.
    void reopenLostDevice();

    // Sleeps about `pause`, looking at stopRequested every 11 ms; false once a stop is requested.
    bool pauseUnlessStopped(std::chrono::milliseconds pause);

    std::unique_ptr<WaveOutDevice> deviceLayer;
    std::mutex closeMutex;  // serialises open and close
    std::function<void(WaveOutEvent)> eventHook;
    std::atomic<bool> lostSinceOpen{false};
    std::atomic<bool> noThread{false};  // the latest open could not start a thread
    bool reopening = false;  // the device was lost and is closed; playback thread while it runs
    bool ended = false;      // the output refused a write for good; playback thread while it runs
};
