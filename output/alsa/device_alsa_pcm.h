// One ALSA playback PCM set to exactly one wave format: the thin layer between the ALSA device
// layer's worker and alsa-lib.
//
// open() asks for exactly the format's sample format (S32_LE, S24_3LE for packed 24 bits,
// S16_LE), channel count and rate, with interleaved read-write access. The PCM is opened
// non-blocking, so that a busy device refuses at once instead of waiting, and with
// SND_PCM_NO_AUTO_CHANNELS, so that a plug in front of the device may convert rate and sample
// format but never drops or invents channels. It then reads the device's channel map to route
// the system's channel order onto it. All later calls are thin and non-blocking; they return
// ALSA's negative error codes for the caller to classify.
//
// Threads: an AlsaPcm belongs to one thread at a time (alsa-lib's PCM calls are not
// thread-safe); the device layer gives it to its worker.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <string>

#include "output/alsa/device_alsa_channels.h"
#include "output/wave_device.h"

// Maps an ALSA error code (negative errno) to the wave result the device layer reports.
WaveResult waveResultFromAlsa(int alsaError);

// Checks that the format is one the ALSA layer can ask for: integer PCM of 16, 24 or 32 bits,
// 1 to 8 channels, a positive rate and a block alignment that matches. kWaveNoError or
// kWaveBadFormat.
WaveResult checkWaveFormat(const WaveFormatExtensible& format);

// Parses an ALSA configuration text into a new tree; the caller deletes it with
// snd_config_delete. Returns 0 or a negative ALSA error.
int loadAlsaConfig(const std::string& text, snd_config_t** tree);

// Period and ring wishes, derived from the output module's queue. A buffer counts as finished
// only once the device has consumed its last frame, so the ring never holds more than the output
// module has queued; its size only sets how much scheduling jitter playback survives. The period
// sets how often the device asks for data: PulseAudio's ALSA plugin makes it the server's request
// size and, through early requests, the sink's latency, so every period wakes the plugin's client
// thread once and the sink takes a period at a time. Two thirds of a buffer (20 ms of the usual
// 30 ms) keeps the requests few while the sink never takes so much of the queued buffers at once
// that the server's queue runs dry between refills, and a buffer's end is seen within one period.
// The ring, four periods, stays half a period below the queued buffers, so that the server's
// start threshold (the ring less a period) is always within reach.
struct AlsaTiming {
    unsigned periodUs = 20000;
    unsigned ringUs = 80000;
};
AlsaTiming alsaTimingFor(int32_t bufferCount, std::chrono::microseconds bufferDuration);

class AlsaPcm {
  public:
    AlsaPcm() = default;
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;
    ~AlsaPcm() { close(); }

    // Opens the PCM `name` of the system's configuration, or of configText where that is not
    // empty, and sets it to the format (already checked by checkWaveFormat). Returns 0 or a
    // negative ALSA error; on error the PCM is closed.
    int open(const std::string& name, const std::string& configText,
             const WaveFormatExtensible& format, const AlsaTiming& timing = {});
    void close();

    // Frames the ring has room for (snd_pcm_avail), or a negative ALSA error.
    snd_pcm_sframes_t avail();
    // Frames written and not yet heard (snd_pcm_delay), or a negative ALSA error.
    snd_pcm_sframes_t delay();
    // Non-blocking write of up to `frames` frames in the device's order; frames taken, or a
    // negative ALSA error (-EAGAIN when the ring is full).
    snd_pcm_sframes_t write(const char* data, snd_pcm_uframes_t frames);
    snd_pcm_state_t state();
    int start();
    // Drops the queued audio at once and makes the PCM ready for new frames.
    int dropAndPrepare();
    // Recovers from an underrun or a suspend; 0 or the error it could not recover from.
    int recover(int alsaError);

    // The PCM's poll descriptors, written to fds (at most `space`); their count.
    unsigned pollDescriptors(pollfd* fds, unsigned space);
    unsigned pollDescriptorCount();
    // The events of the descriptors that pollDescriptors gave, as the PCM means them.
    unsigned short pollEvents(pollfd* fds, unsigned count);

    unsigned rateHz() const { return rate; }
    unsigned frameBytes() const { return bytesPerFrame; }
    unsigned sampleBytes() const { return bytesPerSample; }
    snd_pcm_uframes_t ringFrames() const { return bufferFrames; }
    snd_pcm_uframes_t periodSizeFrames() const { return periodFrames; }
    const ChannelRoute& channelRoute() const { return route; }
    // The speaker of each system channel as the device's map says; empty without a map.
    const std::vector<uint32_t>& channelSpeakers() const { return speakers; }

  private:
    int configure(const WaveFormatExtensible& format, const AlsaTiming& timing);
    void readChannelMap(const WaveFormatExtensible& format);

    snd_pcm_t* pcm = nullptr;
    unsigned rate = 0;
    unsigned bytesPerFrame = 0;
    unsigned bytesPerSample = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    ChannelRoute route;
    std::vector<uint32_t> speakers;
};
