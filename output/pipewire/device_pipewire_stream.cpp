// The life of one PipeWire playback stream: its creation and connection, the callbacks of the
// loop and data threads, and its teardown.
//
// Playback position: each process callback copies queued frames into the server's buffer and
// marks when the last of them will be heard: the graph's current tick plus the delay to the
// device plus what is still queued in the stream and its resampler. Every later callback (they
// keep coming while the stream runs, fed or not) hands back the buffers whose marks are due, so
// the last buffers of a playback get their notices too once the listener has heard them.
#include "output/pipewire/device_pipewire_stream.h"

#include "output/stream_identity.h"

#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kNodeName = "tonarium";
constexpr const char* kDefaultMediaName = "Tonarium";
constexpr size_t kFormatPodBytes = 1024;  // room for a raw format of 64 positions

constexpr pw_stream_flags kStreamFlags = static_cast<pw_stream_flags>(
    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);

}  // namespace

void PlayMarks::add(uint64_t endFrame, uint64_t heardAtTick) {
    if (count == kCapacity) {
        Mark& last = marks[(first + count - 1) % kCapacity];
        last = {endFrame, std::max(last.heardAtTick, heardAtTick)};
        return;
    }
    marks[(first + count) % kCapacity] = {endFrame, heardAtTick};
    ++count;
}

uint64_t PlayMarks::heardBy(uint64_t tick) {
    while (count > 0 && marks[first].heardAtTick <= tick) {
        heard = marks[first].endFrame;
        first = (first + 1) % kCapacity;
        --count;
    }
    return heard;
}

void PlayMarks::clear() {
    first = count = 0;
    heard = 0;
}

PipewireWaveOutDevice::Stream::Stream(WaveOutDevice* owner, WaveOutCallback callback,
                                      uintptr_t instance, const PipewireFormat& format,
                                      uint32_t frameBytes)
    : queue(owner, callback, instance, frameBytes),
      format(format),
      callback(callback),
      instance(instance),
      frameBytes(frameBytes) {}

PipewireWaveOutDevice::Stream::~Stream() {
    stop();
}

WaveResult PipewireWaveOutDevice::Stream::start(const std::string& node,
                                                const std::string& mediaName,
                                                std::chrono::microseconds latency) {
    initPipewireOnce();
    loop = pw_thread_loop_new("tonarium-pipewire", nullptr);
    if (loop == nullptr) {
        return kWaveNoMemory;
    }
    context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    if (context == nullptr) {
        return kWaveNoMemory;
    }
    if (pw_thread_loop_start(loop) < 0) {
        return kWaveNoMemory;
    }
    loopRunning = true;

    const int64_t latencyFrames =
        std::max<int64_t>(1, latency.count() * int64_t{format.rateHz} / 1'000'000);
    pw_properties* props = pw_properties_new(
        PW_KEY_APP_NAME, kStreamApplicationName, PW_KEY_APP_ID, kStreamApplicationId,
        PW_KEY_APP_ICON_NAME, kStreamIconName, PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
        "Playback", PW_KEY_MEDIA_ROLE, kStreamPipewireMediaRole, PW_KEY_MEDIA_NAME,
        mediaName.empty() ? kDefaultMediaName : mediaName.c_str(), PW_KEY_NODE_NAME, kNodeName,
        nullptr);
    if (props == nullptr) {
        return kWaveNoMemory;
    }
    pw_properties_setf(props, PW_KEY_APP_PROCESS_ID, "%d", static_cast<int>(::getpid()));
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%lld/%u", static_cast<long long>(latencyFrames),
                       format.rateHz);
    if (!node.empty()) {
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, node.c_str());
    }

    static const pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Stream::onCoreError;
        return events;
    }();
    static const pw_stream_events kStreamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Stream::onStateChanged;
        events.process = &Stream::onProcess;
        return events;
    }();

    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (core == nullptr) {
        pw_thread_loop_unlock(loop);
        pw_properties_free(props);
        return kWaveBadDevice;
    }
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    stream = pw_stream_new(core, kStreamApplicationName, props);  // takes props
    if (stream == nullptr) {
        pw_thread_loop_unlock(loop);
        return kWaveNoMemory;
    }
    pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);

    spa_audio_info_raw info{};
    info.format = format.sampleFormat;
    info.rate = format.rateHz;
    info.channels = format.channels;
    std::copy(format.positions.begin(), format.positions.end(), info.position);
    uint8_t podBytes[kFormatPodBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBytes, sizeof podBytes);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int connected =
        params[0] == nullptr
            ? -EINVAL
            : pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, kStreamFlags, params, 1);
    pw_thread_loop_unlock(loop);
    return connected < 0 ? kWaveBadFormat : kWaveNoError;
}

WaveResult PipewireWaveOutDevice::Stream::waitUntilAccepted(std::chrono::milliseconds limit,
                                                            std::chrono::milliseconds runLimit) {
    std::unique_lock lock(stateMutex);
    stateChanged.wait_for(lock, limit, [&] { return accepted || refused || cancelled; });
    if (accepted && !refused && !cancelled) {
        stateChanged.wait_for(lock, runLimit, [&] { return rateKnown || refused || cancelled; });
        if (!refused && !cancelled) {
            return kWaveNoError;
        }
    }
    if (refused && !coreFailed) {
        return kWaveBadFormat;  // the server would not take this stream
    }
    silent = !accepted && !refused && !cancelled;
    return cancelled ? kWaveError : kWaveBadDevice;
}

void PipewireWaveOutDevice::Stream::cancelOpen() {
    {
        std::lock_guard lock(stateMutex);
        cancelled = true;
    }
    stateChanged.notify_all();
}

void PipewireWaveOutDevice::Stream::flush() {
    pw_thread_loop_lock(loop);
    if (stream != nullptr) {
        pw_stream_flush(stream, false);
    }
    pw_thread_loop_unlock(loop);
}

void PipewireWaveOutDevice::Stream::rename(const std::string& mediaName) {
    const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_MEDIA_NAME, mediaName.c_str())};
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    pw_thread_loop_lock(loop);
    if (stream != nullptr) {
        pw_stream_update_properties(stream, &dict);
    }
    pw_thread_loop_unlock(loop);
}

void PipewireWaveOutDevice::Stream::stop() {
    {
        std::lock_guard lock(stateMutex);
        stopping = true;  // the disconnect's state changes are no loss
    }
    if (loop != nullptr && loopRunning) {
        pw_thread_loop_lock(loop);
    }
    if (stream != nullptr) {
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    if (core != nullptr) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    if (loop != nullptr && loopRunning) {
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        loopRunning = false;
    }
    if (context != nullptr) {
        pw_context_destroy(context);
        context = nullptr;
    }
    if (loop != nullptr) {
        pw_thread_loop_destroy(loop);
        loop = nullptr;
    }
}

void PipewireWaveOutDevice::Stream::lose() {
    queue.handBackAll(true);
}

void PipewireWaveOutDevice::Stream::onStateChanged(void* data, pw_stream_state,
                                                   pw_stream_state state, const char*) {
    auto* self = static_cast<Stream*>(data);
    bool lost = false;
    {
        std::lock_guard lock(self->stateMutex);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->accepted = true;
        } else if (state == PW_STREAM_STATE_ERROR ||
                   (state == PW_STREAM_STATE_UNCONNECTED && !self->stopping)) {
            self->refused = true;
            lost = !self->stopping;
        }
    }
    self->stateChanged.notify_all();
    if (lost) {
        self->lose();
    }
}

void PipewireWaveOutDevice::Stream::onCoreError(void* data, uint32_t id, int, int, const char*) {
    if (id != PW_ID_CORE) {
        return;  // an error of one request; the stream's state tells what it means for playback
    }
    auto* self = static_cast<Stream*>(data);
    bool lost = false;
    {
        std::lock_guard lock(self->stateMutex);
        self->coreFailed = true;
        self->refused = true;
        lost = !self->stopping;
    }
    self->stateChanged.notify_all();
    if (lost) {
        self->lose();
    }
}

int PipewireWaveOutDevice::Stream::onRateKnown(spa_loop*, bool, uint32_t, const void*, size_t,
                                               void* data) {
    auto* self = static_cast<Stream*>(data);
    {
        std::lock_guard lock(self->stateMutex);
        self->rateKnown = true;
    }
    self->stateChanged.notify_all();
    return 0;
}

void PipewireWaveOutDevice::Stream::onProcess(void* data) {
    auto* self = static_cast<Stream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (buffer == nullptr) {
        return;
    }
    spa_data& out = buffer->buffer->datas[0];
    const uint32_t resets = self->resets.load(std::memory_order_acquire);
    if (resets != self->seenResets) {
        self->seenResets = resets;
        self->marks.clear();
        self->starved = false;
    }
    size_t frames = 0;
    if (out.data != nullptr) {
        const size_t room = out.maxsize / self->frameBytes;
        const size_t wanted =
            buffer->requested > 0 ? std::min<size_t>(buffer->requested, room) : room;
        const bool started = self->queue.pulledFrames() > 0;
        frames = self->queue.pull(static_cast<char*>(out.data), wanted);
        if (frames > 0 && self->starved) {
            self->underruns.fetch_add(1, std::memory_order_relaxed);
        }
        self->starved = started && frames < wanted;
    }
    out.chunk->offset = 0;
    out.chunk->stride = static_cast<int32_t>(self->frameBytes);
    out.chunk->size = static_cast<uint32_t>(frames * self->frameBytes);
    buffer->size = frames;
    pw_stream_queue_buffer(self->stream, buffer);
    self->finishHeard(self->queue.pulledFrames(), frames);
}

void PipewireWaveOutDevice::Stream::finishHeard(uint64_t pulledEnd, size_t framesQueued) {
    pw_time time{};
    if (pw_stream_get_time_n(stream, &time, sizeof time) < 0 || time.rate.denom == 0 ||
        time.rate.num == 0) {
        return;
    }
    const uint64_t ticksPerSecond = time.rate.denom / time.rate.num;
    const auto rateHz = static_cast<uint32_t>(ticksPerSecond);
    if (graphRateHz.exchange(rateHz, std::memory_order_relaxed) != rateHz) {
        // Open may be waiting for it: tell the loop's thread, without blocking this one.
        pw_loop_invoke(pw_thread_loop_get_loop(loop), &Stream::onRateKnown, 0, nullptr, 0, false,
                       this);
    }
    if (framesQueued > 0) {
        // Stream frames still ahead of the last one pulled, in graph ticks.
        const uint64_t aheadFrames = time.queued + time.buffered;
        const uint64_t aheadTicks = aheadFrames * ticksPerSecond / format.rateHz;
        const uint64_t delayTicks = time.delay > 0 ? static_cast<uint64_t>(time.delay) : 0;
        marks.add(pulledEnd, time.ticks + delayTicks + aheadTicks);
    }
    queue.finishPlayed(marks.heardBy(time.ticks));
}
