// One connection to a PulseAudio server and its playback stream, from open to close: the threaded
// main loop, the context, the stream, and the queue of written buffers that the loop's thread
// feeds into the stream when the server asks for audio.
//
// Position: frames written to the stream count from the stream's creation, and the stream's
// interpolated clock (pa_stream_get_time) says how many of them have been heard. The queue's
// buffers are handed back as that clock passes their ends: on every request for audio, on every
// timing update, and all at once when the server reports that the stream ran dry (everything
// written has been played). Between the server's events a timer of the loop wakes it when the
// oldest buffer's end is due, so that every buffer comes back when it is heard and the output
// module refills its queue at once.
//
// A server that stops answering (stopped, stuck) with buffers queued is taken as lost after
// about twelve seconds without an event from it, as the ALSA layer takes a stalled device: a
// timer of libpulse's loop looks every three seconds, which costs nothing while playing.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "output/pulled_queue.h"

class PulseStream {
  public:
    struct Setup {
        pa_sample_spec sampleFormat;
        pa_channel_map map;
        std::string sinkName;                      // empty: the server's default
        std::string mediaName;                     // what plays
        std::chrono::microseconds bufferDuration;  // one of the output module's buffers
    };

    PulseStream(WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance,
                const Setup& setup);
    // Disconnects and stops the loop's thread; never waits for the server.
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    // Connects and makes the stream, within `limit`: kWaveNoError once it plays, kWaveBadDevice
    // where no server answers or the sink is missing, kWaveBadFormat where the server refuses the
    // format, kWaveNoMemory where the loop cannot start.
    WaveResult start(std::chrono::milliseconds limit);
    // Makes a start() in progress, and later ones, give up at once.
    void refuse();

    // Queues the buffer and gives the server what it has asked for; false once the server is lost.
    bool write(WaveHeader& header);
    // Hands every queued buffer back and drops what the server still holds.
    void reset();
    // Hands every queued buffer back (close).
    void handBackAll() { queue.handBackAll(); }
    void rename(const std::string& mediaName);

    uint64_t underruns() const { return underrunCount.load(); }
    uint32_t serverRateHz() const { return serverRate.load(); }

  private:
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWriteRequest(pa_stream* stream, size_t bytes, void* self);
    static void onTimingUpdate(pa_stream* stream, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onStarted(pa_stream* stream, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onNoticeDue(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                            void* self);
    static void onWatchdog(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                           void* self);

    // Loop lock held: makes the stream once the context is ready.
    void connectStream();
    // Loop lock held: copies queued frames into the stream for as long as the server has room.
    void feed();
    // Loop lock held: copies queued frames into the server's room until either runs out; how
    // many frames.
    size_t copyIntoRoom();
    // Loop lock held: how many of the frames written have been heard, as far as the stream's
    // clock can tell; nothing before the clock runs.
    std::optional<uint64_t> heardFrames() const;
    // Loop lock held: hands back the buffers the stream's clock says have been heard.
    void finishHeard();
    // Loop lock held: sets the notice timer for when the oldest queued buffer's end will be
    // heard, as the stream's clock says; off while nothing is queued.
    void armNoticeTimer();
    // Loop lock held: the server is gone or refused the stream.
    void fail(WaveResult result);
    // Wakes start() once it has an answer.
    void answer(WaveResult result);

    const Setup setup;
    const uint32_t frameBytes;
    const uint64_t bufferFrames;  // in one of the output module's buffers
    PulledQueue queue;

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;  // created and used with the loop lock held
    pa_time_event* watchdog = nullptr;
    pa_time_event* noticeTimer = nullptr;

    // With the loop lock held:
    uint64_t framesWritten = 0;  // into the stream since its creation
    uint64_t queueBase = 0;      // the stream frame at which the queue's position 0 plays
    bool playing = false;        // started and not run dry since
    bool starved = false;        // ran dry, and no audio written since
    int serverEvents = 0;        // requests, timing updates and underflows since the last look
    int quietLooks = 0;          // the watchdog's looks in a row that found buffers and no event

    // Set by the loop's thread when the server's room was left unfilled (the queue ran short):
    // only then does a write feed the stream itself. Otherwise the next request takes the
    // buffer, and a write costs the loop's thread no wake-up.
    std::atomic<bool> wantsAudio{true};
    std::atomic<uint64_t> underrunCount{0};
    std::atomic<uint32_t> serverRate{0};

    std::mutex answerMutex;
    std::condition_variable answered;
    bool hasAnswer = false;  // guarded by answerMutex, with the two below
    WaveResult startResult = kWaveBadDevice;
    bool refused = false;
};
