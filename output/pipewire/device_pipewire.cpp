// The application-facing calls of the PipeWire layer: open makes a Stream (device_pipewire_
// stream.cpp) and waits, within a limit, for the server to accept it; the rest work on the
// stream's queue and, under the loop's lock, on the stream itself.
#include "output/pipewire/device_pipewire.h"

#include "output/pipewire/device_pipewire_format.h"
#include "output/pipewire/device_pipewire_stream.h"

namespace {

// How long open waits for the server to accept the stream: a server that does not answer makes
// open fail in this time, and the output module tries again later.
constexpr auto kAcceptLimit = std::chrono::milliseconds(3000);
// How long open then waits for the graph's first cycle, which tells the rate it runs at.
constexpr auto kFirstCycleLimit = std::chrono::milliseconds(500);
// After a server left an open unanswered, later opens refuse at once for this long: the format
// search's many attempts then cost one wait, not one each.
constexpr auto kSilentServerHoldoff = std::chrono::milliseconds(1000);

}  // namespace

PipewireWaveOutDevice::PipewireWaveOutDevice(std::string node) : node(std::move(node)) {}

PipewireWaveOutDevice::~PipewireWaveOutDevice() {
    close();
}

std::shared_ptr<PipewireWaveOutDevice::Stream> PipewireWaveOutDevice::currentStream() const {
    std::lock_guard lock(deviceMutex);
    return stream;
}

void PipewireWaveOutDevice::planQueue(int32_t, std::chrono::microseconds duration) {
    std::lock_guard lock(deviceMutex);
    if (duration.count() > 0) {
        bufferDuration = duration;
    }
}

WaveResult PipewireWaveOutDevice::open(const WaveFormatExtensible& format, WaveOutCallback callback,
                                       uintptr_t instance) {
    if (currentStream()) {
        return kWaveAllocated;
    }
    const std::optional<PipewireFormat> pwFormat = pipewireFormatOf(format);
    if (!pwFormat) {
        return kWaveBadFormat;
    }
    if (callback == nullptr) {
        return kWaveError;
    }
    std::string name;
    std::chrono::microseconds latency{};
    {
        std::lock_guard lock(deviceMutex);
        if (std::chrono::steady_clock::now() < silentUntil) {
            return kWaveBadDevice;
        }
        name = mediaName;
        latency = bufferDuration;
    }
    auto s = std::make_shared<Stream>(this, callback, instance, *pwFormat, format.nBlockAlign);
    {
        std::lock_guard lock(openingMutex);
        if (opensRefused) {
            return kWaveError;
        }
        opening = s;
    }
    WaveResult result = s->start(node, name, latency);
    if (result == kWaveNoError) {
        result = s->waitUntilAccepted(kAcceptLimit, kFirstCycleLimit);
    }
    {
        std::lock_guard lock(openingMutex);
        opening.reset();
    }
    if (result != kWaveNoError) {
        s->stop();
        if (s->serverSilent()) {
            std::lock_guard lock(deviceMutex);
            silentUntil = std::chrono::steady_clock::now() + kSilentServerHoldoff;
        }
        return result;
    }
    bool renamed = false;
    {
        std::lock_guard lock(deviceMutex);
        stream = s;
        renamed = mediaName != name;  // described again while the open waited
        name = mediaName;
    }
    if (renamed) {
        s->rename(name);
    }
    callback(this, kWomOpen, instance, 0, 0);
    return kWaveNoError;
}

WaveResult PipewireWaveOutDevice::prepareHeader(WaveHeader& header) {
    return markHeaderPrepared(header, currentStream() != nullptr);
}

WaveResult PipewireWaveOutDevice::unprepareHeader(WaveHeader& header) {
    return markHeaderUnprepared(header, currentStream() != nullptr);
}

WaveResult PipewireWaveOutDevice::write(WaveHeader& header) {
    const auto s = currentStream();
    if (!s) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrPrepared) == 0) {
        return kWaveUnprepared;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0 || header.lpData == nullptr) {
        return kWaveError;
    }
    return s->queue.write(header) ? kWaveNoError : kWaveError;
}

WaveResult PipewireWaveOutDevice::reset() {
    const auto s = currentStream();
    if (!s) {
        return kWaveInvalidHandle;
    }
    s->queue.handBackAll();
    s->resets.fetch_add(1, std::memory_order_release);
    s->flush();
    return kWaveNoError;
}

WaveResult PipewireWaveOutDevice::close() {
    std::shared_ptr<Stream> s;
    {
        std::lock_guard lock(deviceMutex);
        s = std::move(stream);
        stream.reset();
    }
    if (!s) {
        return kWaveInvalidHandle;
    }
    s->queue.handBackAll(true);
    s->stop();
    {
        std::lock_guard lock(deviceMutex);
        closedUnderruns = s->underruns.load(std::memory_order_relaxed);
    }
    s->callback(this, kWomClose, s->instance, 0, 0);
    return kWaveNoError;
}

uint64_t PipewireWaveOutDevice::underrunCount() const {
    std::lock_guard lock(deviceMutex);
    return stream ? stream->underruns.load(std::memory_order_relaxed) : closedUnderruns;
}

void PipewireWaveOutDevice::refuseOpens(bool refuse) {
    std::shared_ptr<Stream> s;
    {
        std::lock_guard lock(openingMutex);
        opensRefused = refuse;
        s = refuse ? opening : nullptr;
    }
    if (s) {
        s->cancelOpen();
    }
}

std::vector<uint32_t> PipewireWaveOutDevice::channelSpeakers() const {
    const auto s = currentStream();
    return s ? s->format.speakers : std::vector<uint32_t>{};
}

uint32_t PipewireWaveOutDevice::serverRateHz() const {
    const auto s = currentStream();
    return s ? s->graphRateHz.load(std::memory_order_relaxed) : 0;
}

void PipewireWaveOutDevice::describeStream(const std::string& name) {
    std::shared_ptr<Stream> s;
    {
        std::lock_guard lock(deviceMutex);
        mediaName = name;
        s = stream;
    }
    if (s) {
        s->rename(name);
    }
}

bool PipewireWaveOutDevice::deviceLost() const {
    const auto s = currentStream();
    return s && s->queue.lost();
}
