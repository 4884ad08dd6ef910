// The Linux file writer over libsndfile: WAV, FLAC, AIFF, CAF, W64 and RF64 files.
//
// The frames arrive as little-endian integer PCM at 16, 24 or 32 bits; each sample is widened to
// a left-aligned 32-bit integer and handed to sf_writef_int, which libsndfile narrows back to the
// file's depth by shifts alone, so every container (big-endian ones included) holds exactly the
// samples it was given.
//
// WAV files are made as RF64 with automatic downgrade: libsndfile writes a plain RIFF WAVE file
// with a WAVE_FORMAT_EXTENSIBLE `fmt ` chunk while the file stays below 4 GiB, and switches the
// header to RF64 when it grows past that, instead of overflowing the 32-bit RIFF sizes. The
// channel mask of the format becomes libsndfile's channel map, which it writes as dwChannelMask
// (and as the channel layout of CAF files). FLAC holds at most 24 bits, so 32-bit formats are
// refused for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output/file/file_output.h"

struct sf_private_tag;  // libsndfile's SNDFILE

class SndfileWriter : public FileWriter {
  public:
    explicit SndfileWriter(FileKind kind);
    ~SndfileWriter() override;

    bool holds(const WaveFormatExtensible& format) const override;
    FileOutputError create(const std::string& path, const WaveFormatExtensible& format) override;
    FileOutputError write(const char* bytes, uint64_t frames, uint64_t& stored) override;
    FileOutputError finish() override;

  private:
    const FileKind kind;
    sf_private_tag* file = nullptr;
    int channels = 0;
    int sampleBytes = 0;
    std::vector<int32_t> widened;  // one chunk of frames as left-aligned 32-bit samples
};
