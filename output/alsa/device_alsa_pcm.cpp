// The hardware parameters are narrowed one by one on a copy of the full space, each with the
// exact value (the rate with direction 0, never the "near" search that would silently change
// it); the attempt is accepted only if every step and the final snd_pcm_hw_params succeed. The
// ring and period sizes are only wishes: the granted ones are read back and used.
#include "output/alsa/device_alsa_pcm.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "output/pcm_format.h"

namespace {

constexpr int kOpenMode = SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_CHANNELS;

snd_pcm_format_t alsaFormatOf(uint16_t bitsPerSample) {
    switch (bitsPerSample) {
        case 16:
            return SND_PCM_FORMAT_S16_LE;
        case 24:
            return SND_PCM_FORMAT_S24_3LE;
        case 32:
            return SND_PCM_FORMAT_S32_LE;
        default:
            return SND_PCM_FORMAT_UNKNOWN;
    }
}

struct HwParams {
    snd_pcm_hw_params_t* params = nullptr;
    HwParams() { snd_pcm_hw_params_malloc(&params); }
    ~HwParams() { snd_pcm_hw_params_free(params); }
};

struct SwParams {
    snd_pcm_sw_params_t* params = nullptr;
    SwParams() { snd_pcm_sw_params_malloc(&params); }
    ~SwParams() { snd_pcm_sw_params_free(params); }
};

// alsa-lib prints its errors to standard error by default; a refused open attempt is an
// ordinary answer here, and nothing below the application writes text.
void quietErrorHandler(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsaMessages() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&quietErrorHandler); });
}

}  // namespace

WaveResult waveResultFromAlsa(int alsaError) {
    switch (alsaError) {
        case 0:
            return kWaveNoError;
        case -EBUSY:
        case -EAGAIN:
            return kWaveAllocated;
        case -ENOENT:
        case -ENODEV:
        case -ENXIO:
        case -ESTRPIPE:
            return kWaveBadDevice;
        case -EINVAL:
            return kWaveBadFormat;
        case -EBADFD:
            return kWaveInvalidHandle;
        default:
            return kWaveError;
    }
}

WaveResult checkWaveFormat(const WaveFormatExtensible& format) {
    const std::optional<uint16_t> bits = pcmContainerBits(format);
    if (!bits || alsaFormatOf(*bits) == SND_PCM_FORMAT_UNKNOWN ||
        format.nChannels > kMaxDeviceChannels) {
        return kWaveBadFormat;
    }
    return kWaveNoError;
}

int loadAlsaConfig(const std::string& text, snd_config_t** tree) {
    *tree = nullptr;
    snd_config_t* top = nullptr;
    int err = snd_config_top(&top);
    if (err < 0) {
        return err;
    }
    snd_input_t* input = nullptr;
    err = snd_input_buffer_open(&input, text.data(), static_cast<ssize_t>(text.size()));
    if (err >= 0) {
        err = snd_config_load(top, input);
        snd_input_close(input);
    }
    if (err < 0) {
        snd_config_delete(top);
        return err;
    }
    *tree = top;
    return 0;
}

AlsaTiming alsaTimingFor(int32_t bufferCount, std::chrono::microseconds bufferDuration) {
    const int64_t bufferUs = std::max<int64_t>(1, bufferDuration.count());
    const int64_t periodUs = std::max<int64_t>(1, bufferUs * 2 / 3);
    const int64_t queuedUs = std::max<int64_t>(1, bufferCount) * bufferUs;
    const int64_t ringUs = std::clamp<int64_t>(queuedUs - periodUs / 2, periodUs, 4 * periodUs);
    const auto fit = [](int64_t us) {
        return static_cast<unsigned>(std::min<int64_t>(us, 10'000'000));
    };
    return {fit(periodUs), fit(ringUs)};
}

int AlsaPcm::open(const std::string& name, const std::string& configText,
                  const WaveFormatExtensible& format, const AlsaTiming& timing) {
    silenceAlsaMessages();
    close();
    int err = 0;
    if (configText.empty()) {
        err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, kOpenMode);
    } else {
        snd_config_t* tree = nullptr;
        err = loadAlsaConfig(configText, &tree);
        if (err >= 0) {
            err = snd_pcm_open_lconf(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, kOpenMode, tree);
            snd_config_delete(tree);
        }
    }
    if (err < 0) {
        pcm = nullptr;
        return err;
    }
    err = configure(format, timing);
    if (err < 0) {
        close();
        return err;
    }
    readChannelMap(format);
    return 0;
}

int AlsaPcm::configure(const WaveFormatExtensible& format, const AlsaTiming& timing) {
    HwParams hw;
    SwParams sw;
    if (hw.params == nullptr || sw.params == nullptr) {
        return -ENOMEM;
    }
    unsigned bufferUs = timing.ringUs;
    unsigned periodUs = timing.periodUs;
    int err = snd_pcm_hw_params_any(pcm, hw.params);
    if (err >= 0) {
        err = snd_pcm_hw_params_set_access(pcm, hw.params, SND_PCM_ACCESS_RW_INTERLEAVED);
    }
    if (err >= 0) {
        err = snd_pcm_hw_params_set_format(pcm, hw.params, alsaFormatOf(format.wBitsPerSample));
    }
    if (err >= 0) {
        err = snd_pcm_hw_params_set_channels(pcm, hw.params, format.nChannels);
    }
    if (err >= 0) {
        err = snd_pcm_hw_params_set_rate(pcm, hw.params, format.nSamplesPerSec, 0);
    }
    if (err < 0) {
        return err;
    }
    // Wishes only: a device that cannot come near keeps its own sizes.
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw.params, &bufferUs, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm, hw.params, &periodUs, nullptr);
    err = snd_pcm_hw_params(pcm, hw.params);
    if (err < 0) {
        return err;
    }
    snd_pcm_hw_params_get_buffer_size(hw.params, &bufferFrames);
    snd_pcm_hw_params_get_period_size(hw.params, &periodFrames, nullptr);

    // Started by the worker (or by a full ring); stopped, never replaying stale audio, when the
    // ring runs dry; woken when a period is free.
    err = snd_pcm_sw_params_current(pcm, sw.params);
    if (err >= 0) {
        err = snd_pcm_sw_params_set_start_threshold(pcm, sw.params, bufferFrames);
    }
    if (err >= 0) {
        err = snd_pcm_sw_params_set_stop_threshold(pcm, sw.params, bufferFrames);
    }
    if (err >= 0) {
        err = snd_pcm_sw_params_set_avail_min(pcm, sw.params, periodFrames);
    }
    if (err >= 0) {
        err = snd_pcm_sw_params(pcm, sw.params);
    }
    if (err < 0) {
        return err;
    }
    rate = format.nSamplesPerSec;
    bytesPerSample = format.wBitsPerSample / 8u;
    bytesPerFrame = format.nBlockAlign;
    return 0;
}

void AlsaPcm::readChannelMap(const WaveFormatExtensible& format) {
    const uint32_t mask = format.wFormatTag == kWaveFormatExtensible ? format.dwChannelMask : 0;
    // Asked for the layout first; a device that cannot change its map keeps its own, which is
    // then read and followed.
    const std::vector<unsigned> wanted = positionsOfMask(mask, format.nChannels);
    std::vector<unsigned char> request(sizeof(snd_pcm_chmap_t) + wanted.size() * sizeof(unsigned));
    auto* asked = reinterpret_cast<snd_pcm_chmap_t*>(request.data());
    asked->channels = static_cast<unsigned>(wanted.size());
    std::copy(wanted.begin(), wanted.end(), asked->pos);
    snd_pcm_set_chmap(pcm, asked);
    std::vector<unsigned> positions;
    if (snd_pcm_chmap_t* map = snd_pcm_get_chmap(pcm)) {
        positions.assign(map->pos, map->pos + map->channels);
        std::free(map);
    }
    route = routeChannels(mask, format.nChannels, positions);
    speakers = positions.size() == format.nChannels ? speakersOfRoute(route, positions)
                                                    : std::vector<uint32_t>{};
}

void AlsaPcm::close() {
    if (pcm != nullptr) {
        snd_pcm_close(pcm);
        pcm = nullptr;
    }
}

snd_pcm_sframes_t AlsaPcm::avail() {
    return snd_pcm_avail(pcm);
}

snd_pcm_sframes_t AlsaPcm::delay() {
    snd_pcm_sframes_t frames = 0;
    const int err = snd_pcm_delay(pcm, &frames);
    return err < 0 ? err : frames;
}

snd_pcm_sframes_t AlsaPcm::write(const char* data, snd_pcm_uframes_t frames) {
    return snd_pcm_writei(pcm, data, frames);
}

snd_pcm_state_t AlsaPcm::state() {
    return snd_pcm_state(pcm);
}

int AlsaPcm::start() {
    return snd_pcm_start(pcm);
}

int AlsaPcm::dropAndPrepare() {
    const int err = snd_pcm_drop(pcm);
    if (err < 0) {
        return err;
    }
    return snd_pcm_prepare(pcm);
}

int AlsaPcm::recover(int alsaError) {
    return snd_pcm_recover(pcm, alsaError, 1);
}

unsigned AlsaPcm::pollDescriptorCount() {
    const int count = snd_pcm_poll_descriptors_count(pcm);
    return count > 0 ? static_cast<unsigned>(count) : 0u;
}

unsigned AlsaPcm::pollDescriptors(pollfd* fds, unsigned space) {
    const int count = snd_pcm_poll_descriptors(pcm, fds, space);
    return count > 0 ? static_cast<unsigned>(count) : 0u;
}

unsigned short AlsaPcm::pollEvents(pollfd* fds, unsigned count) {
    unsigned short events = 0;
    if (snd_pcm_poll_descriptors_revents(pcm, fds, count, &events) < 0) {
        return POLLERR;
    }
    return events;
}
