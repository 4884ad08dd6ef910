#include "output/file/device_mmio.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kPcmRecordBytes = 16;
constexpr size_t kExtensibleRecordBytes = 40;
// The RIFF size field counts everything after it; the header before the samples is far below
// this margin.
constexpr uint64_t kRiffLimitBytes = 0xFFFFFFFFull - 4096;

void putLe(std::vector<char>& out, uint64_t value, int bytes) {
    for (int b = 0; b < bytes; ++b) {
        out.push_back(static_cast<char>((value >> (8 * b)) & 0xFF));
    }
}

// The `fmt ` chunk's bytes: the plain PCM record where it says everything, the extensible one
// otherwise.
std::vector<char> formatRecord(const WaveFormatExtensible& f) {
    const bool plain = f.nChannels <= 2 && f.wBitsPerSample <= 16;
    std::vector<char> out;
    putLe(out, plain ? kWaveFormatPcm : kWaveFormatExtensible, 2);
    putLe(out, f.nChannels, 2);
    putLe(out, f.nSamplesPerSec, 4);
    putLe(out, f.nAvgBytesPerSec, 4);
    putLe(out, f.nBlockAlign, 2);
    putLe(out, f.wBitsPerSample, 2);
    if (plain) {
        return out;
    }
    putLe(out, kExtensibleExtraBytes, 2);
    putLe(out, f.Samples.wValidBitsPerSample, 2);
    putLe(out, f.dwChannelMask, 4);
    putLe(out, f.SubFormat.Data1, 4);
    putLe(out, f.SubFormat.Data2, 2);
    putLe(out, f.SubFormat.Data3, 2);
    for (uint8_t byte : f.SubFormat.Data4) {
        putLe(out, byte, 1);
    }
    return out;
}

}  // namespace

struct MmioWriter::Native {
    HMMIO file = nullptr;
    MMCKINFO riff = {};
    MMCKINFO data = {};
    uint32_t frameBytes = 0;
    uint64_t bytesWritten = 0;
};

MmioWriter::MmioWriter() : native(std::make_unique<Native>()) {}

MmioWriter::~MmioWriter() {
    finish();
}

bool MmioWriter::holds(const WaveFormatExtensible& format) const {
    const int bits = format.wBitsPerSample;
    return (bits == 16 || bits == 24 || bits == 32) && format.nChannels > 0;
}

FileOutputError MmioWriter::create(const std::string& path, const WaveFormatExtensible& format) {
    finish();
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    native->file = mmioOpenA(name.data(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
    if (native->file == nullptr) {
        return FileOutputError::CannotCreate;
    }
    const std::vector<char> record = formatRecord(format);
    MMCKINFO fmt = {};
    native->riff = {};
    native->riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    native->data = {};
    native->data.ckid = mmioFOURCC('d', 'a', 't', 'a');
    const auto size = static_cast<LONG>(record.size());
    const bool made = mmioCreateChunk(native->file, &native->riff, MMIO_CREATERIFF) == 0 &&
                      mmioCreateChunk(native->file, &fmt, 0) == 0 &&
                      mmioWrite(native->file, record.data(), size) == size &&
                      mmioAscend(native->file, &fmt, 0) == 0 &&
                      mmioCreateChunk(native->file, &native->data, 0) == 0;
    if (!made) {
        mmioClose(native->file, 0);
        native->file = nullptr;
        return FileOutputError::WriteFailed;
    }
    native->frameBytes = format.nBlockAlign;
    native->bytesWritten = 0;
    return FileOutputError::None;
}

FileOutputError MmioWriter::write(const char* bytes, uint64_t frames, uint64_t& stored) {
    stored = 0;
    if (native->file == nullptr) {
        return FileOutputError::WriteFailed;
    }
    const uint64_t count = frames * native->frameBytes;
    if (native->bytesWritten + count > kRiffLimitBytes) {
        return FileOutputError::TooLarge;
    }
    uint64_t done = 0;
    while (done < count) {
        // mmioWrite takes a LONG count; buffers are far smaller, but stay within it regardless.
        const auto piece = static_cast<LONG>(std::min<uint64_t>(count - done, 1u << 30));
        const LONG wrote = mmioWrite(native->file, bytes + done, piece);
        if (wrote > 0) {
            done += static_cast<uint64_t>(wrote);
        }
        if (wrote != piece) {
            // The RIFF sizes count whole frames only: a torn frame is cut off again.
            const uint64_t whole = done - done % native->frameBytes;
            mmioSeek(native->file, static_cast<LONG>(whole - done), SEEK_CUR);
            native->bytesWritten += whole;
            stored = whole / native->frameBytes;
            return FileOutputError::WriteFailed;
        }
    }
    native->bytesWritten += count;
    stored = frames;
    return FileOutputError::None;
}

FileOutputError MmioWriter::finish() {
    if (native->file == nullptr) {
        return FileOutputError::None;
    }
    // Ascending out of each chunk writes its size; closing flushes the buffer. Each step runs
    // even when an earlier one failed, so that the file is always released.
    bool ok = mmioAscend(native->file, &native->data, 0) == 0;
    ok = mmioAscend(native->file, &native->riff, 0) == 0 && ok;
    ok = mmioClose(native->file, 0) == 0 && ok;
    native->file = nullptr;
    return ok ? FileOutputError::None : FileOutputError::WriteFailed;
}
