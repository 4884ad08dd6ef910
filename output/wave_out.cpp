// The output module: construction with its named inputs and device buffers, the format search of
// open(), close(), and the playback loop that keeps the device buffers cycling.
//
// The loop relies on the device finishing buffers in the order written: the buffer at
// currentBuffer is always the oldest one queued, so it is free whenever freeBuffers is at least
// 1, and the device is never asked whether a particular header is done.
#include "output/wave_out.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/audio_module_container.h"
#include "engine/locker.h"
#include "output/sample_conversion.h"

namespace {

constexpr std::chrono::milliseconds kPollInterval{11};

// Pauses between attempts to reopen a lost device: doubling from the first to the last.
constexpr std::chrono::milliseconds kFirstReopenPause{50};
constexpr std::chrono::milliseconds kLongestReopenPause{2000};

struct InputNames {
    int32_t input;
    std::array<const char*, 4> names;  // in registration order; the last one is reported
};

constexpr std::array<InputNames, 8> kInputNames = {{
    {0, {"левый", "Л", "left", "L"}},
    {1, {"правый", "П", "right", "R"}},
    {2, {"центр", "Ц", "center", "C"}},
    {3, {"бас", "БАС", "lfe", "LFE"}},
    {4, {"тыл.левый", "ТЛ", "surr.left", "SL"}},
    {5, {"тыл.правый", "ТП", "surr.right", "SR"}},
    {6, {"ЛЦ", "FCL", nullptr, nullptr}},
    {7, {"РП", "FCR", nullptr, nullptr}},
}};

void checkConstruction(int32_t bufferCount, std::chrono::microseconds bufferDuration,
                       const WaveOutDevice* layer) {
    if (bufferCount < 1) {
        throw std::invalid_argument("buffer count below 1: " + std::to_string(bufferCount));
    }
    if (bufferDuration.count() <= 0) {
        throw std::invalid_argument(
            "buffer duration not positive: " + std::to_string(bufferDuration.count()) + " us");
    }
    if (layer == nullptr) {
        throw std::invalid_argument("no device layer");
    }
}

// The channel count of the layout with this mask, or 0 for a mask the search never produces.
int32_t channelsOfMask(uint32_t channelMask) {
    if (channelMask == kSideLayout.channelMask) {
        return kSideLayout.channels;
    }
    for (const ChannelLayout& layout : kChannelLayouts) {
        if (layout.channelMask == channelMask) {
            return layout.channels;
        }
    }
    return 0;
}

}  // namespace

WaveFormatExtensible pcmFormat(int32_t rateHz, int32_t bits, const ChannelLayout& layout) {
    WaveFormatExtensible f;
    f.wFormatTag = kWaveFormatExtensible;
    f.nChannels = static_cast<uint16_t>(layout.channels);
    f.nSamplesPerSec = static_cast<uint32_t>(rateHz);
    f.nBlockAlign = static_cast<uint16_t>(layout.channels * bits / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
    f.wBitsPerSample = static_cast<uint16_t>(bits);
    f.cbSize = kExtensibleExtraBytes;
    f.Samples.wValidBitsPerSample = static_cast<uint16_t>(bits);
    f.dwChannelMask = layout.channelMask;
    f.SubFormat = kSubtypePcm;
    return f;
}

M_WaveOut::M_WaveOut(int32_t bufferCount, std::chrono::microseconds bufferDuration,
                     std::unique_ptr<WaveOutDevice> deviceLayer)
    : AudioModule(8, 0),
      bufferCount(bufferCount),
      bufferDuration(bufferDuration),
      deviceLayer(std::move(deviceLayer)) {
    checkConstruction(bufferCount, bufferDuration, this->deviceLayer.get());
    this->deviceLayer->planQueue(bufferCount, bufferDuration);
    name = "wave out 7.1";
    kind = KindThreaded;
    for (const InputNames& entry : kInputNames) {
        for (const char* alias : entry.names) {
            if (alias != nullptr) {
                inputNames.give(entry.input, alias);
            }
        }
    }
    headers.resize(static_cast<size_t>(bufferCount));
    buffers.resize(static_cast<size_t>(bufferCount));
}

void M_WaveOut::sizeBuffers() {
    const int64_t rateHz = format.nSamplesPerSec;
    const int64_t frames = (rateHz * bufferDuration.count() + 999'999) / 1'000'000;
    const int64_t bytes = frames * format.nBlockAlign;
    if (bytes <= 0 || bytes > std::numeric_limits<uint32_t>::max()) {
        bufferFrames = bufferBytes = 0;
        return;
    }
    if (bytes != bufferBytes) {
        for (auto& buffer : buffers) {
            buffer = std::make_unique<char[]>(static_cast<size_t>(bytes));
        }
    }
    bufferFrames = static_cast<int32_t>(frames);
    bufferBytes = static_cast<int32_t>(bytes);
}

M_WaveOut::~M_WaveOut() {
    std::lock_guard<std::mutex> guard(closeMutex);
    closeLocked();
}

bool M_WaveOut::open(int32_t maxChannels, const FormatFilter& filter) {
    std::lock_guard<std::mutex> guard(closeMutex);
    closeLocked();

    resetBuffers();
    deviceRate = 0;
    deviceBits = 0;
    deviceChannels = 0;
    g_sampleRate = 0;
    lostSinceOpen = false;
    noThread = false;
    reopening = false;
    ended = false;

    {
        std::lock_guard<std::mutex> played(playedOutMutex);
        playedOut = false;
    }
    framesLeft = -1;

    // maxChannels 8 (or 9) starts at 7.1, 6 at 5.1, 4 at quad, 2 at stereo; below 2 there is no
    // layout to try. Counts above 9 are treated as 8 rather than read before the table.
    const int64_t first = std::max<int64_t>(0, 4 - int64_t{maxChannels} / 2);
    for (size_t entry = static_cast<size_t>(first); entry < kChannelLayouts.size(); ++entry) {
        const ChannelLayout& layout =
            filter.sideSurround && kChannelLayouts[entry].channels == kSideLayout.channels
                ? kSideLayout
                : kChannelLayouts[entry];
        if (filter.channels && *filter.channels != layout.channels) {
            continue;
        }
        for (int32_t bits : kSampleDepthsBits) {
            if (filter.bits && *filter.bits != bits) {
                continue;
            }
            for (size_t rate = 0; rate < (filter.rateHz ? 1 : kSampleRatesHz.size()); ++rate) {
                const int32_t rateHz = filter.rateHz ? *filter.rateHz : kSampleRatesHz[rate];
                const WaveResult result = tryOpen(rateHz, bits, layout);
                if (result == kWaveNoMemory) {
                    noThread = true;
                    return false;
                }
                if (result == kWaveNoError) {
                    sizeBuffers();
                    resetBuffers();
                    device = deviceLayer.get();
                    deviceRate = rateHz;
                    deviceBits = bits;
                    deviceChannels = layout.channels;
                    g_sampleRate = rateHz;
                    if (limitSeconds) {
                        framesLeft = std::llround(*limitSeconds * rateHz);
                    }
                    if (!start()) {
                        noThread = true;
                        closeLocked();
                        return false;
                    }
                    return true;
                }
            }
        }
    }
    return false;
}

void M_WaveOut::resetBuffers() {
    freeBuffers = bufferCount;
    currentBuffer = 0;
    // Headers prepared on an earlier device mean nothing to the next one: start them afresh so
    // that the first pass prepares without unpreparing. The device is closed, so nothing else
    // touches them now.
    for (size_t i = 0; i < headers.size(); ++i) {
        headers[i] = WaveHeader{};
        headers[i].lpData = buffers[i].get();
        headers[i].dwBufferLength = static_cast<uint32_t>(bufferBytes);
    }
}

WaveResult M_WaveOut::tryOpen(int32_t rateHz, int32_t bits, const ChannelLayout& layout) {
    format = pcmFormat(rateHz, bits, layout);
    return deviceLayer->open(format, &M_WaveOut::deviceCallback, reinterpret_cast<uintptr_t>(this));
}

void M_WaveOut::limitPlayback(double seconds) {
    limitSeconds = seconds;
}

bool M_WaveOut::waitUntilPlayedOut(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> played(playedOutMutex);
    return playedOutChanged.wait_for(played, limit, [this] { return playedOut; }) && !lostSinceOpen;
}

bool M_WaveOut::close() {
    std::lock_guard<std::mutex> guard(closeMutex);
    closeLocked();
    return true;
}

void M_WaveOut::closeLocked() {
    // The loop makes device calls: it must have ended before the device is reset and closed. A
    // reopen in progress on the playback thread gives up at once rather than wait for the device.
    stop(false);
    deviceLayer->refuseOpens(true);
    stop(true);
    deviceLayer->refuseOpens(false);
    reopening = false;
    if (device != nullptr) {
        device->reset();
        device->close();
    }
    device = nullptr;
}

void M_WaveOut::setEventHook(std::function<void(WaveOutEvent)> hook) {
    std::lock_guard<std::mutex> guard(closeMutex);
    eventHook = std::move(hook);
}

bool M_WaveOut::threadFailed() const {
    return noThread.load();
}

bool M_WaveOut::deviceLostSinceOpen() const {
    return lostSinceOpen.load();
}

uint64_t M_WaveOut::underrunCount() const {
    return deviceLayer->underrunCount();
}

void M_WaveOut::deviceCallback(WaveOutDevice*, uint32_t message, uintptr_t instance, uintptr_t,
                               uintptr_t) {
    if (message == kWomDone) {
        reinterpret_cast<M_WaveOut*>(instance)->freeBuffers.fetch_add(1);
    }
}

bool M_WaveOut::fillBuffer(int32_t index) {
    if (index < 0 || index >= bufferCount) {
        throw std::out_of_range("not a buffer index: " + std::to_string(index));
    }
    if (parent == nullptr) {
        return false;
    }
    const int32_t bits = format.wBitsPerSample;
    const int32_t channels = channelsOfMask(format.dwChannelMask);
    const FrameRenderer render = frameRendererFor(bits, channels);
    // The frame size follows from the renderer's depth and channel count (it equals nBlockAlign
    // of every format the search makes), so that a buffer is never overrun.
    const int32_t frameBytes = channels * bits / 8;
    if (render == nullptr || frameBytes <= 0) {
        return false;
    }
    if (bufferBytes == 0 || bufferBytes != bufferFrames * frameBytes) {
        return false;
    }
    const auto frameCount = static_cast<size_t>(bufferFrames);
    char* out = buffers[static_cast<size_t>(index)].get();

    // The lock is held for the whole buffer, so that a parameter change made by another thread
    // lands between two buffers and every frame of one buffer sees the same values.
    ILocker* locker = lockerOfParent(*this);
    if (locker != nullptr) {
        locker->lock();
    }
    render(*parent, inputSources.data(), out, frameCount);
    if (locker != nullptr) {
        locker->unlock();
    }
    return true;
}

void M_WaveOut::loop() {
    if (reopening) {
        reopenLostDevice();
        return;
    }
    if (parent == nullptr || device == nullptr || ended) {
        // Nothing to render, or nowhere to play it. Pause like every other wait instead of spinning
        // a core until the module is stopped.
        std::this_thread::sleep_for(kPollInterval);
        return;
    }
    WaveHeader& header = headers[static_cast<size_t>(currentBuffer)];
    if (framesLeft >= 0 && cutToLimit(header)) {
        std::this_thread::sleep_for(kPollInterval);
        return;
    }
    fillBuffer(currentBuffer);

    if ((header.dwFlags & kWhdrPrepared) != 0) {
        device->unprepareHeader(header);
    }
    device->prepareHeader(header);
    if (device->write(header) != kWaveNoError) {
        if (!device->mayComeBack()) {
            // An output that has ended for good (a file): nothing more is handed over.
            ended = true;
            return;
        }
        // The device takes no more buffers: it is gone. The rendered buffer is dropped; the graph
        // plays on from where it is once the device is back.
        lostSinceOpen = true;
        reopening = true;
        if (eventHook) {
            eventHook(WaveOutEvent::DeviceLost);
        }
        // A limited playback that waits for its end waits no more.
        std::lock_guard<std::mutex> played(playedOutMutex);
        playedOut = true;
        playedOutChanged.notify_all();
        return;
    }
    freeBuffers.fetch_sub(1);

    waitForFreeBuffer();
    currentBuffer = (currentBuffer + 1) % bufferCount;
}

bool M_WaveOut::cutToLimit(WaveHeader& header) {
    if (framesLeft == 0) {
        if (freeBuffers.load() == bufferCount) {
            std::lock_guard<std::mutex> played(playedOutMutex);
            playedOut = true;
            playedOutChanged.notify_all();
        }
        return true;
    }
    const int64_t frameBytes = format.nBlockAlign;
    const int64_t frames = std::min<int64_t>(framesLeft, bufferFrames);
    header.dwBufferLength = static_cast<uint32_t>(frames * frameBytes);
    framesLeft -= frames;
    return false;
}

void M_WaveOut::waitForFreeBuffer() {
    while (freeBuffers.load() < 1) {
        if (stopRequested) {
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

void M_WaveOut::reopenLostDevice() {
    if (device != nullptr) {
        // Hands back whatever the layer still holds; after close no notice comes any more.
        device->reset();
        device->close();
        device = nullptr;
    }
    auto pause = kFirstReopenPause;
    for (;;) {
        if (!pauseUnlessStopped(pause)) {
            return;  // reopening stays set: close() clears it
        }
        resetBuffers();
        if (deviceLayer->open(format, &M_WaveOut::deviceCallback,
                              reinterpret_cast<uintptr_t>(this)) == kWaveNoError) {
            device = deviceLayer.get();
            reopening = false;
            if (eventHook) {
                eventHook(WaveOutEvent::DeviceRestored);
            }
            return;
        }
        pause = std::min(pause * 2, kLongestReopenPause);
    }
}

bool M_WaveOut::pauseUnlessStopped(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!stopRequested) {
        if (std::chrono::steady_clock::now() >= until) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}
