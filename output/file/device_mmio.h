// The Windows file writer over winmm's RIFF functions (mmioOpen, mmioCreateChunk, mmioWrite,
// mmioAscend, mmioClose): WAV files only.
//
// The file is RIFF "WAVE" with a `fmt ` chunk and a `data` chunk. The `fmt ` chunk is the plain
// 16-byte PCM record for mono or stereo at 16 bits, and the 40-byte WAVE_FORMAT_EXTENSIBLE
// record (with the channel mask) for more channels or more bits, as readers expect. mmioAscend
// writes each chunk's size when the file is finished. RIFF sizes are 32-bit, so a write that
// would take the file past 4 GiB is refused with TooLarge and the file is finished as it stands.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output/file/file_output.h"

class MmioWriter : public FileWriter {
  public:
    MmioWriter();
    ~MmioWriter() override;

    bool holds(const WaveFormatExtensible& format) const override;
    FileOutputError create(const std::string& path, const WaveFormatExtensible& format) override;
    FileOutputError write(const char* bytes, uint64_t frames, uint64_t& stored) override;
    FileOutputError finish() override;

  private:
    struct Native;
    std::unique_ptr<Native> native;
};
