// Sound files as an output: the kinds of file the program writes, the choice of kind by a path's
// extension, what can go wrong with a file, and the small writer interface that each platform's
// file library sits behind (libsndfile on Linux, winmm's RIFF functions on Windows).
//
// The device that feeds a writer is FileWaveOutDevice (output/device_file.h); the factory
// (output/device_factory.h) makes one for a path with the platform's writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/wave_device.h"

enum class FileKind {
    Wav,   // RIFF WAVE; WAVE_FORMAT_EXTENSIBLE where the format needs it
    Flac,  // FLAC, up to 24 bits
    Aiff,
    Caf,
    W64,
    Rf64,
};

// What went wrong with a file. The device layer reports it; the application says it in words.
enum class FileOutputError {
    None,
    CannotCreate,  // the file could not be made: missing folder, no permission, not a file
    WriteFailed,   // writing or finishing the file failed (a full disk, an I/O error)
    TooLarge,      // the file would pass the largest size its kind can describe
};

// The kind of file a path names by its extension, compared without regard to case, when this
// platform can write that kind; nothing otherwise (an unknown or missing extension included).
std::optional<FileKind> fileKindOfPath(std::string_view path);

// The extensions this platform writes, in lower case with their dot (".wav", ".flac", ...), in
// the order a usage message lists them.
std::vector<std::string> acceptedFileExtensions();

// The extension of a kind, in lower case with its dot.
std::string_view extensionOfKind(FileKind kind);

// Writes one sound file of one kind. The bytes handed to write() are frames of the format given
// to create(): integer PCM, little-endian, interleaved in the order of the channel mask. The
// writer stores exactly these samples.
//
// Threads: one caller at a time; the device serialises its calls.
class FileWriter {
  public:
    virtual ~FileWriter() = default;

    // Whether this kind of file can hold `format`. Touches no file.
    virtual bool holds(const WaveFormatExtensible& format) const = 0;

    // Creates (or replaces) the file at `path` for `format`, one that holds() accepts.
    virtual FileOutputError create(const std::string& path, const WaveFormatExtensible& format) = 0;

    // Appends `frames` whole frames from `bytes`. `stored` is set to the frames that reached the
    // file, all of them on success, fewer when the write failed partway.
    virtual FileOutputError write(const char* bytes, uint64_t frames, uint64_t& stored) = 0;

    // Completes the header and closes the file, keeping every frame written; None when no file
    // is open. After a failed write it still closes the file with a header that matches what
    // the file holds.
    virtual FileOutputError finish() = 0;
};
