#include "output/file/device_sndfile.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace {

// Frames widened and written per libsndfile call.
constexpr uint64_t kChunkFrames = 4096;

// The speaker of each bit of a WAVE_FORMAT_EXTENSIBLE channel mask, lowest bit first.
constexpr std::array<int, 18> kSpeakerOfMaskBit = {
    SF_CHANNEL_MAP_LEFT,
    SF_CHANNEL_MAP_RIGHT,
    SF_CHANNEL_MAP_CENTER,
    SF_CHANNEL_MAP_LFE,
    SF_CHANNEL_MAP_REAR_LEFT,
    SF_CHANNEL_MAP_REAR_RIGHT,
    SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
    SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER,
    SF_CHANNEL_MAP_REAR_CENTER,
    SF_CHANNEL_MAP_SIDE_LEFT,
    SF_CHANNEL_MAP_SIDE_RIGHT,
    SF_CHANNEL_MAP_TOP_CENTER,
    SF_CHANNEL_MAP_TOP_FRONT_LEFT,
    SF_CHANNEL_MAP_TOP_FRONT_CENTER,
    SF_CHANNEL_MAP_TOP_FRONT_RIGHT,
    SF_CHANNEL_MAP_TOP_REAR_LEFT,
    SF_CHANNEL_MAP_TOP_REAR_CENTER,
    SF_CHANNEL_MAP_TOP_REAR_RIGHT,
};

int containerOf(FileKind kind) {
    switch (kind) {
        case FileKind::Wav:
        case FileKind::Rf64:
            return SF_FORMAT_RF64;
        case FileKind::Flac:
            return SF_FORMAT_FLAC;
        case FileKind::Aiff:
            return SF_FORMAT_AIFF;
        case FileKind::Caf:
            return SF_FORMAT_CAF;
        case FileKind::W64:
            return SF_FORMAT_W64;
    }
    return 0;
}

int subtypeOf(int bits) {
    switch (bits) {
        case 16:
            return SF_FORMAT_PCM_16;
        case 24:
            return SF_FORMAT_PCM_24;
        case 32:
            return SF_FORMAT_PCM_32;
        default:
            return 0;
    }
}

SF_INFO infoOf(FileKind kind, const WaveFormatExtensible& format) {
    SF_INFO info = {};
    info.samplerate = static_cast<int>(format.nSamplesPerSec);
    info.channels = format.nChannels;
    info.format = containerOf(kind) | subtypeOf(format.wBitsPerSample);
    return info;
}

// libsndfile's channel map of a mask, or an empty map when the mask does not name one speaker per
// channel.
std::vector<int> channelMapOf(uint32_t mask, int channels) {
    std::vector<int> map;
    for (size_t bit = 0; bit < kSpeakerOfMaskBit.size(); ++bit) {
        if ((mask & (uint32_t{1} << bit)) != 0) {
            map.push_back(kSpeakerOfMaskBit[bit]);
        }
    }
    if (map.size() != static_cast<size_t>(channels)) {
        map.clear();
    }
    return map;
}

// The error of a libsndfile call that failed: a full disk or an I/O error is a failed write,
// anything else at creation means the file could not be made.
FileOutputError failureOf(int savedErrno, bool creating) {
    if (savedErrno == ENOSPC || savedErrno == EDQUOT || savedErrno == EIO) {
        return FileOutputError::WriteFailed;
    }
    if (savedErrno == EFBIG) {
        return FileOutputError::TooLarge;
    }
    return creating ? FileOutputError::CannotCreate : FileOutputError::WriteFailed;
}

}  // namespace

SndfileWriter::SndfileWriter(FileKind kind) : kind(kind) {}

SndfileWriter::~SndfileWriter() {
    finish();
}

bool SndfileWriter::holds(const WaveFormatExtensible& format) const {
    SF_INFO info = infoOf(kind, format);
    return subtypeOf(format.wBitsPerSample) != 0 && sf_format_check(&info) == SF_TRUE;
}

FileOutputError SndfileWriter::create(const std::string& path, const WaveFormatExtensible& format) {
    finish();
    SF_INFO info = infoOf(kind, format);
    errno = 0;
    file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return failureOf(errno, true);
    }
    if (kind == FileKind::Wav) {
        // Set before any frame is written: the header is made small and grows only if needed.
        sf_command(file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    }
    std::vector<int> map = channelMapOf(format.dwChannelMask, format.nChannels);
    if (!map.empty()) {
        // Kinds without a channel layout (AIFF, W64, FLAC) decline; their readers assume the
        // usual order for the channel count.
        sf_command(file, SFC_SET_CHANNEL_MAP_INFO, map.data(),
                   static_cast<int>(map.size() * sizeof(int)));
    }
    channels = format.nChannels;
    sampleBytes = format.wBitsPerSample / 8;
    widened.assign(kChunkFrames * static_cast<size_t>(channels), 0);
    return FileOutputError::None;
}

FileOutputError SndfileWriter::write(const char* bytes, uint64_t frames, uint64_t& stored) {
    stored = 0;
    if (file == nullptr) {
        return FileOutputError::WriteFailed;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    const int shift = 32 - 8 * sampleBytes;
    while (frames > 0) {
        const uint64_t chunk = std::min(frames, kChunkFrames);
        const size_t samples = static_cast<size_t>(chunk) * static_cast<size_t>(channels);
        for (size_t i = 0; i < samples; ++i) {
            uint32_t word = 0;
            for (int b = 0; b < sampleBytes; ++b) {
                word |= uint32_t{in[b]} << (8 * b);
            }
            widened[i] = static_cast<int32_t>(word << shift);
            in += sampleBytes;
        }
        errno = 0;
        const sf_count_t done = sf_writef_int(file, widened.data(), static_cast<sf_count_t>(chunk));
        const int savedErrno = errno;
        stored += done > 0 ? static_cast<uint64_t>(done) : 0;
        if (done != static_cast<sf_count_t>(chunk)) {
            return failureOf(savedErrno, false);
        }
        frames -= chunk;
    }
    return FileOutputError::None;
}

FileOutputError SndfileWriter::finish() {
    if (file == nullptr) {
        return FileOutputError::None;
    }
    errno = 0;
    const int result = sf_close(file);
    file = nullptr;
    return result == 0 ? FileOutputError::None : failureOf(errno, false);
}
