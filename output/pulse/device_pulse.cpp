// The application-facing calls of the PulseAudio layer: each open makes a PulseStream (the
// connection, its loop thread and its stream), close ends it.
#include "output/pulse/device_pulse.h"

#include "output/pulse/device_pulse_format.h"
#include "output/pulse/device_pulse_stream.h"
#include "output/speakers.h"

namespace {

// A server that has not answered by then is taken as absent (stopped, or stuck): the output
// module tries again later.
constexpr auto kOpenLimit = std::chrono::milliseconds(2000);

}  // namespace

PulseWaveOutDevice::PulseWaveOutDevice(std::string sinkName) : sinkName(std::move(sinkName)) {}

PulseWaveOutDevice::~PulseWaveOutDevice() {
    close();
}

std::shared_ptr<PulseStream> PulseWaveOutDevice::current() const {
    std::lock_guard lock(mutex);
    return stream;
}

WaveResult PulseWaveOutDevice::open(const WaveFormatExtensible& format, WaveOutCallback callback,
                                    uintptr_t instance) {
    const std::optional<pa_sample_spec> sampleFormat = pulseSampleFormat(format);
    if (!sampleFormat) {
        return kWaveBadFormat;
    }
    PulseStream::Setup setup{*sampleFormat,
                             pulseChannelMap(format.dwChannelMask, sampleFormat->channels),
                             sinkName,
                             {},
                             bufferDuration};
    std::shared_ptr<PulseStream> opening;
    {
        std::lock_guard lock(mutex);
        if (stream != nullptr) {
            return kWaveAllocated;
        }
        if (opensRefused) {
            return kWaveBadDevice;
        }
        setup.mediaName = mediaName;
        opening = std::make_shared<PulseStream>(this, callback, instance, setup);
        stream = opening;
        speakers = speakerBitsOfMask(format.dwChannelMask);
        speakers.resize(sampleFormat->channels);
    }
    const WaveResult result = opening->start(kOpenLimit);
    if (result != kWaveNoError) {
        std::lock_guard lock(mutex);
        stream.reset();
        speakers.clear();
        return result;
    }
    callback(this, kWomOpen, instance, 0, 0);
    return kWaveNoError;
}

WaveResult PulseWaveOutDevice::prepareHeader(WaveHeader& header) {
    return markHeaderPrepared(header, current() != nullptr);
}

WaveResult PulseWaveOutDevice::unprepareHeader(WaveHeader& header) {
    return markHeaderUnprepared(header, current() != nullptr);
}

WaveResult PulseWaveOutDevice::write(WaveHeader& header) {
    if ((header.dwFlags & kWhdrPrepared) == 0) {
        return kWaveUnprepared;
    }
    const std::shared_ptr<PulseStream> open = current();
    if (open == nullptr) {
        return kWaveInvalidHandle;
    }
    return open->write(header) ? kWaveNoError : kWaveError;
}

WaveResult PulseWaveOutDevice::reset() {
    const std::shared_ptr<PulseStream> open = current();
    if (open == nullptr) {
        return kWaveInvalidHandle;
    }
    open->reset();
    return kWaveNoError;
}

WaveResult PulseWaveOutDevice::close() {
    std::shared_ptr<PulseStream> closing;
    {
        std::lock_guard lock(mutex);
        closing.swap(stream);
        speakers.clear();
        if (closing != nullptr) {
            closedUnderruns = closing->underruns();
        }
    }
    if (closing == nullptr) {
        return kWaveInvalidHandle;
    }
    // The stream ends here, unless a write on another thread still holds it for a moment.
    closing->handBackAll();
    return kWaveNoError;
}

uint64_t PulseWaveOutDevice::underrunCount() const {
    std::lock_guard lock(mutex);
    return stream != nullptr ? stream->underruns() : closedUnderruns;
}

void PulseWaveOutDevice::refuseOpens(bool refuse) {
    std::lock_guard lock(mutex);
    opensRefused = refuse;
    if (refuse && stream != nullptr) {
        stream->refuse();
    }
}

void PulseWaveOutDevice::planQueue(int32_t, std::chrono::microseconds duration) {
    bufferDuration = duration;
}

std::vector<uint32_t> PulseWaveOutDevice::channelSpeakers() const {
    std::lock_guard lock(mutex);
    return speakers;
}

uint32_t PulseWaveOutDevice::serverRateHz() const {
    const std::shared_ptr<PulseStream> open = current();
    return open != nullptr ? open->serverRateHz() : 0;
}

void PulseWaveOutDevice::describeStream(const std::string& name) {
    std::shared_ptr<PulseStream> open;
    {
        std::lock_guard lock(mutex);
        mediaName = name;
        open = stream;
    }
    if (open != nullptr) {
        open->rename(name);
    }
}
