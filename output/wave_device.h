// The device layer: the six wave-out operations the output module needs, over whichever sound
// service the platform has (winmm on Windows, ALSA on Linux), plus test devices.
//
// The records mirror the platform's WAVEFORMATEXTENSIBLE and WAVEHDR field for field, with the
// platform's field names; the constants carry the platform's values under names of their own so
// that they never collide with the platform's macros.
//
// Lifecycle of a device object (one per output module, opened and closed any number of times):
//  1. open(format, callback, instance): 0 when the format is accepted and the device is open;
//     any other value is a refusal (unsupported format, busy or missing device), never an
//     exception. kWaveNoMemory says that the layer could not get what it runs on (memory, a
//     thread of its own): no other format would fare better. After a refusal the device is
//     closed.
//  2. prepareHeader(h): marks h prepared (kWhdrPrepared in dwFlags) for use with write.
//  3. write(h): queues h's buffer (lpData, dwBufferLength bytes of whole frames in the opened
//     format). Queued buffers play one after another in the order written.
//  4. Finished notice: for every written buffer the device calls callback(this, kWomDone,
//     instance, &h, 0) exactly once, in the order written, once the layer will never touch that
//     buffer's memory again. Buffers handed back by reset() get their notice too. A write that
//     is refused (non-zero result, e.g. on a device that has been lost) queues nothing and gets
//     no notice.
//  5. unprepareHeader(h): clears kWhdrPrepared; only for a finished header.
//  6. reset(): stops playback at once (queued audio is dropped, never drained), hands every
//     queued buffer back with its finished notice before it returns; the device stays open.
//  7. close(): releases the device. Meant for after reset (or with nothing queued); a layer
//     that finds buffers still queued hands them back first, as reset() does.
//
// The callback runs on a thread of the device layer (or, for notices given by reset() or
// close(), on their caller). It only records: it never calls back into the device and takes no
// lock. As winmm does, a layer may also give kWomOpen during open and kWomClose during close;
// a callback ignores the messages it does not need.
// Results other than open's are informative only; the output module ignores them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Result of a device operation: 0 for success (the platform's MMSYSERR_NOERROR).
using WaveResult = uint32_t;
inline constexpr WaveResult kWaveNoError = 0;
inline constexpr WaveResult kWaveError = 1;          // MMSYSERR_ERROR
inline constexpr WaveResult kWaveBadDevice = 2;      // MMSYSERR_BADDEVICEID
inline constexpr WaveResult kWaveAllocated = 4;      // MMSYSERR_ALLOCATED (busy)
inline constexpr WaveResult kWaveInvalidHandle = 5;  // MMSYSERR_INVALHANDLE
inline constexpr WaveResult kWaveNoMemory = 7;       // MMSYSERR_NOMEM (also: no thread)
inline constexpr WaveResult kWaveBadFormat = 32;     // WAVERR_BADFORMAT
inline constexpr WaveResult kWaveUnprepared = 34;    // WAVERR_UNPREPARED

// Messages given to the callback.
inline constexpr uint32_t kWomOpen = 0x3BB;   // WOM_OPEN
inline constexpr uint32_t kWomClose = 0x3BC;  // WOM_CLOSE
inline constexpr uint32_t kWomDone = 0x3BD;   // WOM_DONE

// Header flags (dwFlags).
inline constexpr uint32_t kWhdrDone = 0x01;      // WHDR_DONE
inline constexpr uint32_t kWhdrPrepared = 0x02;  // WHDR_PREPARED
inline constexpr uint32_t kWhdrInQueue = 0x10;   // WHDR_INQUEUE

inline constexpr uint16_t kWaveFormatPcm = 1;              // WAVE_FORMAT_PCM: the plain header
inline constexpr uint16_t kWaveFormatExtensible = 0xFFFE;  // WAVE_FORMAT_EXTENSIBLE
inline constexpr uint16_t kExtensibleExtraBytes = 22;      // cbSize of WAVEFORMATEXTENSIBLE

struct WaveGuid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
    friend bool operator==(const WaveGuid&, const WaveGuid&) = default;
};

// KSDATAFORMAT_SUBTYPE_PCM: 00000001-0000-0010-8000-00AA00389B71, integer PCM.
inline constexpr WaveGuid kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct WaveFormatExtensible {
    uint16_t wFormatTag = 0;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
    uint16_t cbSize = 0;
    struct {
        uint16_t wValidBitsPerSample = 0;
    } Samples;
    uint32_t dwChannelMask = 0;
    WaveGuid SubFormat;
};

struct WaveHeader {
    char* lpData = nullptr;
    uint32_t dwBufferLength = 0;
    uint32_t dwBytesRecorded = 0;
    uintptr_t dwUser = 0;
    uint32_t dwFlags = 0;
    uint32_t dwLoops = 0;
    WaveHeader* lpNext = nullptr;
    uintptr_t reserved = 0;
};

class WaveOutDevice;

// prepareHeader and unprepareHeader of a layer whose buffers need no work of the driver's, on a
// device that is open or not: a closed device refuses the header as winmm does; a header still
// queued stays prepared.
inline WaveResult markHeaderPrepared(WaveHeader& header, bool deviceOpen) {
    if (!deviceOpen) {
        return kWaveInvalidHandle;
    }
    header.dwFlags |= kWhdrPrepared;
    return kWaveNoError;
}
inline WaveResult markHeaderUnprepared(WaveHeader& header, bool deviceOpen) {
    if (!deviceOpen) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0) {
        return kWaveError;  // still playing
    }
    header.dwFlags &= ~kWhdrPrepared;
    return kWaveNoError;
}

// The finished-buffer callback: (device, message, instance given at open, param1, param2).
// For kWomDone, param1 is the address of the finished WaveHeader.
using WaveOutCallback = void (*)(WaveOutDevice* device, uint32_t message, uintptr_t instance,
                                 uintptr_t param1, uintptr_t param2);

class WaveOutDevice {
  public:
    virtual ~WaveOutDevice() = default;

    virtual WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                            uintptr_t instance) = 0;
    virtual WaveResult prepareHeader(WaveHeader& header) = 0;
    virtual WaveResult unprepareHeader(WaveHeader& header) = 0;
    virtual WaveResult write(WaveHeader& header) = 0;
    virtual WaveResult reset() = 0;
    virtual WaveResult close() = 0;

    // Underruns met and recovered from since open; 0 where the layer cannot tell.
    virtual uint64_t underrunCount() const { return 0; }

    // With true, an open() in progress on another thread, and every later one until this is
    // called with false, refuses at once instead of waiting for the device: the output module
    // uses it so that ending the program never waits for a reopen. Any thread; layers whose open
    // never waits for long need not act on it.
    virtual void refuseOpens(bool) {}

    // How many buffers the output module keeps queued and how long each plays; told once,
    // before the first open. A layer with a ring of its own sizes the ring and its period from
    // them.
    virtual void planQueue(int32_t /*bufferCount*/, std::chrono::microseconds /*bufferDuration*/) {}

    // Where the open device plays each channel of the frame, as its own channel map says: one
    // speaker bit (of the format's channel mask) per channel. Empty where the device states no
    // map, or while it is closed.
    virtual std::vector<uint32_t> channelSpeakers() const { return {}; }

    // Whether a refused write means an output that may come back when opened again (a sound
    // device that was lost), rather than one that has ended for good (a file that is complete or
    // could not be written, which opening again would overwrite).
    virtual bool mayComeBack() const { return true; }
    // Which output the layer plays on, as the report names it ("PipeWire", "PulseAudio",
    // "ALSA"); empty where there is nothing to choose between (a file, winmm).
    virtual std::string outputName() const { return {}; }

    // The rate at which the sound server plays the open stream, where it says so: the report
    // tells it when it differs from the stream's own (the server resamples). 0 where the layer
    // cannot tell, or while closed.
    virtual uint32_t serverRateHz() const { return 0; }

    // What plays, in a few words (the stream's media name on a sound server): taken by later
    // opens and, while open, sent to the server. Any application thread; layers without a
    // server ignore it.
    virtual void describeStream(const std::string& /*mediaName*/) {}
};
