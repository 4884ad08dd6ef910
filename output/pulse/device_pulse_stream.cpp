#include "output/pulse/device_pulse_stream.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include "output/pulse/device_pulse_clock.h"
#include "output/stream_identity.h"

namespace {

// Runs with the loop's lock for the scope of a call from an application thread.
class LoopLock {
  public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop(loop) { pa_threaded_mainloop_lock(loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pa_threaded_mainloop* const loop;
};

// How often the watchdog looks for a server that stopped answering, and how many quiet looks in
// a row mean that it is lost. A new stream may wait about two seconds before the server takes
// audio; a busy or briefly stopped server, longer. Such a server is slow, not lost.
constexpr pa_usec_t kWatchdogPeriodUs = 3 * PA_USEC_PER_SEC;
constexpr int kQuietLooksToLose = 4;
// The notice timer fires this long after a buffer's end is due, so that a clock a little behind
// does not cost a second wake-up.
constexpr pa_usec_t kNoticeSlackUs = 2000;

// Operations whose answer nobody waits for.
void forget(pa_operation* operation) {
    if (operation != nullptr) {
        pa_operation_unref(operation);
    }
}

// A refused stream's cause in the device contract's terms.
WaveResult resultOfError(int error) {
    switch (error) {
        case PA_ERR_INVALID:
        case PA_ERR_NOTSUPPORTED:
        case PA_ERR_TOOLARGE:
            return kWaveBadFormat;
        default:
            return kWaveBadDevice;
    }
}

}  // namespace

PulseStream::PulseStream(WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance,
                         const Setup& setup)
    : setup(setup),
      frameBytes(static_cast<uint32_t>(pa_frame_size(&setup.sampleFormat))),
      bufferFrames(static_cast<uint64_t>(setup.bufferDuration.count()) * setup.sampleFormat.rate /
                   1000000),
      queue(owner, callback, instance, frameBytes) {}

PulseStream::~PulseStream() {
    if (loop == nullptr) {
        return;
    }
    {
        LoopLock lock(loop);
        if (stream != nullptr) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_write_callback(stream, nullptr, nullptr);
            pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream, nullptr, nullptr);
            pa_stream_set_started_callback(stream, nullptr, nullptr);
            pa_stream_set_moved_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        for (pa_time_event* timer : {watchdog, noticeTimer}) {
            if (timer != nullptr) {
                pa_threaded_mainloop_get_api(loop)->time_free(timer);
            }
        }
        if (context != nullptr) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
    }
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

WaveResult PulseStream::start(std::chrono::milliseconds limit) {
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr) {
        return kWaveNoMemory;
    }
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, kStreamApplicationName);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, kStreamApplicationId);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, kStreamIconName);
    context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop),
                                           kStreamApplicationName, properties);
    pa_proplist_free(properties);
    if (context == nullptr) {
        return kWaveNoMemory;
    }
    pa_context_set_state_callback(context, &PulseStream::onContextState, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return kWaveBadDevice;
    }
    watchdog = pa_context_rttime_new(context, pa_rtclock_now() + kWatchdogPeriodUs,
                                     &PulseStream::onWatchdog, this);
    noticeTimer = pa_context_rttime_new(context, PA_USEC_INVALID, &PulseStream::onNoticeDue, this);
    if (pa_threaded_mainloop_start(loop) < 0) {
        return kWaveNoMemory;
    }
    std::unique_lock lock(answerMutex);
    answered.wait_for(lock, limit, [&] { return hasAnswer || refused; });
    if (!hasAnswer) {
        hasAnswer = true;  // what the loop finds from now on is a loss, not an answer
        startResult = kWaveBadDevice;
    }
    return startResult;
}

void PulseStream::refuse() {
    {
        std::lock_guard lock(answerMutex);
        refused = true;
    }
    answered.notify_all();
}

bool PulseStream::write(WaveHeader& header) {
    const bool wasEmpty = !queue.holdsBuffers();
    if (!queue.write(header)) {
        return false;
    }
    if (wantsAudio.load() || wasEmpty) {
        LoopLock lock(loop);
        feed();
        armNoticeTimer();
    }
    return true;
}

void PulseStream::reset() {
    queue.handBackAll();
    LoopLock lock(loop);
    if (stream != nullptr && pa_stream_get_state(stream) == PA_STREAM_READY) {
        forget(pa_stream_flush(stream, nullptr, nullptr));
    }
    // Frames flushed from the server are never heard, so the clock reaches the next written
    // frame a little before this point: the next buffers are handed back late, never early.
    queueBase = framesWritten;
}

void PulseStream::rename(const std::string& mediaName) {
    LoopLock lock(loop);
    if (stream != nullptr && pa_stream_get_state(stream) == PA_STREAM_READY) {
        forget(pa_stream_set_name(stream, mediaName.c_str(), nullptr, nullptr));
    }
}

void PulseStream::onContextState(pa_context* context, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            s->connectStream();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            s->fail(kWaveBadDevice);
            break;
        default:
            break;
    }
}

void PulseStream::connectStream() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, kStreamMediaRole);
    pa_proplist_sets(properties, PA_PROP_MEDIA_ICON_NAME, kStreamIconName);
    const std::string& name =
        setup.mediaName.empty() ? std::string(kStreamApplicationName) : setup.mediaName;
    stream = pa_stream_new_with_proplist(context, name.c_str(), &setup.sampleFormat, &setup.map,
                                         properties);
    pa_proplist_free(properties);
    if (stream == nullptr) {
        fail(resultOfError(pa_context_errno(context)));
        return;
    }
    pa_stream_set_state_callback(stream, &PulseStream::onStreamState, this);
    pa_stream_set_write_callback(stream, &PulseStream::onWriteRequest, this);
    pa_stream_set_latency_update_callback(stream, &PulseStream::onTimingUpdate, this);
    pa_stream_set_underflow_callback(stream, &PulseStream::onUnderflow, this);
    pa_stream_set_started_callback(stream, &PulseStream::onStarted, this);
    pa_stream_set_moved_callback(stream, &PulseStream::onStreamState, this);

    // The server may hold the output module's three buffers and asks for half of that at a time,
    // so that it wakes the loop's thread seldom and its fill never falls below a buffer and a
    // half; it starts once it has one buffer. The audio ahead of the listener stays within the
    // module's queue, since a buffer comes back only once it has been heard.
    const auto buffer = static_cast<uint32_t>(pa_usec_to_bytes(
        static_cast<pa_usec_t>(setup.bufferDuration.count()), &setup.sampleFormat));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = 3 * buffer;
    attributes.prebuf = buffer;
    attributes.minreq = 3 * buffer / 2;
    attributes.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    const char* sink = setup.sinkName.empty() ? nullptr : setup.sinkName.c_str();
    if (pa_stream_connect_playback(stream, sink, &attributes, flags, nullptr, nullptr) < 0) {
        fail(resultOfError(pa_context_errno(context)));
    }
}

// Also the moved callback: a stream moved to another sink plays at that sink's rate.
void PulseStream::onStreamState(pa_stream* stream, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            forget(pa_context_get_sink_info_by_index(s->context, pa_stream_get_device_index(stream),
                                                     &PulseStream::onSinkInfo, s));
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            s->fail(resultOfError(pa_context_errno(s->context)));
            break;
        default:
            break;
    }
}

// The stream is ready once its sink's rate is known, so that the report can tell it.
void PulseStream::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    if (info != nullptr) {
        s->serverRate = info->sample_spec.rate;
    }
    if (eol != 0) {
        s->answer(kWaveNoError);
    }
}

void PulseStream::onNoticeDue(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    s->finishHeard();
    s->feed();
}

void PulseStream::onWatchdog(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                             void* self) {
    auto* s = static_cast<PulseStream*>(self);
    s->quietLooks = s->serverEvents == 0 && s->queue.holdsBuffers() ? s->quietLooks + 1 : 0;
    s->serverEvents = 0;
    if (s->quietLooks >= kQuietLooksToLose) {
        s->fail(kWaveBadDevice);
        return;
    }
    pa_context_rttime_restart(s->context, event, pa_rtclock_now() + kWatchdogPeriodUs);
}

void PulseStream::onWriteRequest(pa_stream*, size_t, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    ++s->serverEvents;
    s->feed();
    s->finishHeard();
}

void PulseStream::onTimingUpdate(pa_stream* stream, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    ++s->serverEvents;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing != nullptr && timing->playing != 0) {
        s->playing = true;
    }
    s->finishHeard();
}

// The server has played everything written: every buffer pulled so far has been heard.
void PulseStream::onUnderflow(pa_stream*, void* self) {
    auto* s = static_cast<PulseStream*>(self);
    ++s->serverEvents;
    s->playing = false;
    s->starved = true;
    s->queue.finishPlayed(s->framesWritten - s->queueBase);
    s->armNoticeTimer();
}

void PulseStream::onStarted(pa_stream*, void* self) {
    static_cast<PulseStream*>(self)->playing = true;
}

void PulseStream::feed() {
    if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
        return;
    }
    bool wrote = false;
    for (;;) {
        const size_t copied = copyIntoRoom();
        wrote = wrote || copied > 0;
        const size_t room = pa_stream_writable_size(stream);
        if (room == static_cast<size_t>(-1) || room < frameBytes) {
            wantsAudio = false;
            break;
        }
        // Room left means the queue ran dry: the next write feeds the stream. A write that came
        // between the last copy and this flag is taken now.
        wantsAudio = true;
        if (copied == 0 || queue.unpulledFrames() == 0) {
            break;
        }
    }
    if (wrote && starved) {
        starved = false;
        ++underrunCount;
    }
    // A stream that waits to fill its start-up buffer would keep a short tail (the last audio
    // of a run) to itself: with nothing more to give now, it starts with what it has.
    if (wrote && !playing && queue.unpulledFrames() == 0) {
        forget(pa_stream_trigger(stream, nullptr, nullptr));
    }
}

size_t PulseStream::copyIntoRoom() {
    size_t room = pa_stream_writable_size(stream);
    size_t copied = 0;
    while (room != static_cast<size_t>(-1) && room >= frameBytes) {
        void* data = nullptr;
        size_t bytes = room - room % frameBytes;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) {
            break;
        }
        const size_t frames = queue.pull(static_cast<char*>(data), bytes / frameBytes);
        if (frames == 0) {
            pa_stream_cancel_write(stream);
            break;
        }
        if (pa_stream_write(stream, data, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            break;
        }
        framesWritten += frames;
        copied += frames;
        room -= frames * frameBytes;
    }
    return copied;
}

std::optional<uint64_t> PulseStream::heardFrames() const {
    pa_usec_t heard = 0;
    if (stream == nullptr || pa_stream_get_time(stream, &heard) < 0) {
        return std::nullopt;
    }
    return pulseHeardFrames(heard * setup.sampleFormat.rate / 1000000, framesWritten, bufferFrames);
}

void PulseStream::finishHeard() {
    const std::optional<uint64_t> frames = heardFrames();
    if (frames && *frames > queueBase) {
        queue.finishPlayed(*frames - queueBase);
    }
    armNoticeTimer();
}

void PulseStream::armNoticeTimer() {
    const std::optional<uint64_t> end = queue.oldestEnd();
    // A buffer not yet wholly in the server is not heard before the server asks for the rest,
    // and that request looks again.
    if (!end || queue.pulledFrames() < *end) {
        pa_context_rttime_restart(context, noticeTimer, PA_USEC_INVALID);
        return;
    }
    const std::optional<uint64_t> heard = heardFrames();
    if (!heard) {
        // No clock yet (the stream is starting): look again a buffer later.
        pa_context_rttime_restart(context, noticeTimer,
                                  pa_rtclock_now() + setup.bufferDuration.count());
        return;
    }
    const uint64_t due = queueBase + *end;
    const pa_usec_t wait = due > *heard ? (due - *heard) * 1000000 / setup.sampleFormat.rate : 0;
    pa_context_rttime_restart(context, noticeTimer, pa_rtclock_now() + wait + kNoticeSlackUs);
}

void PulseStream::fail(WaveResult result) {
    bool wasAnswered = false;
    {
        std::lock_guard lock(answerMutex);
        wasAnswered = hasAnswer;
        if (!hasAnswer) {
            hasAnswer = true;
            startResult = result;
        }
    }
    answered.notify_all();
    if (wasAnswered) {
        queue.handBackAll(/*lose=*/true);  // the server is gone: the output module opens anew
    }
}

void PulseStream::answer(WaveResult result) {
    {
        std::lock_guard lock(answerMutex);
        if (hasAnswer) {
            return;
        }
        hasAnswer = true;
        startResult = result;
    }
    answered.notify_all();
}
