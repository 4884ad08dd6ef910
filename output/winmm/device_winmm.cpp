// The portable header must come before <windows.h>: its constants have names of their own and
// the platform's macros then cannot rename its fields.
#include "output/winmm/device_winmm.h"

#include "output/speakers.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

constexpr auto kResetLimit = std::chrono::seconds(2);

// The portable result codes are winmm's own values.
WaveResult waveResultFromMm(MMRESULT result) {
    return static_cast<WaveResult>(result);
}

WAVEFORMATEXTENSIBLE toNative(const WaveFormatExtensible& f) {
    WAVEFORMATEXTENSIBLE n = {};
    n.Format.wFormatTag = f.wFormatTag;
    n.Format.nChannels = f.nChannels;
    n.Format.nSamplesPerSec = f.nSamplesPerSec;
    n.Format.nAvgBytesPerSec = f.nAvgBytesPerSec;
    n.Format.nBlockAlign = f.nBlockAlign;
    n.Format.wBitsPerSample = f.wBitsPerSample;
    n.Format.cbSize = f.cbSize;
    n.Samples.wValidBitsPerSample = f.Samples.wValidBitsPerSample;
    n.dwChannelMask = f.dwChannelMask;
    n.SubFormat.Data1 = f.SubFormat.Data1;
    n.SubFormat.Data2 = f.SubFormat.Data2;
    n.SubFormat.Data3 = f.SubFormat.Data3;
    for (int i = 0; i < 8; ++i) {
        n.SubFormat.Data4[i] = f.SubFormat.Data4[i];
    }
    return n;
}

}  // namespace

struct WinmmWaveOutDevice::Native {
    static void CALLBACK waveOutProc(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                     DWORD_PTR param2);

    WinmmWaveOutDevice* owner = nullptr;
    HWAVEOUT handle = nullptr;
    WaveOutCallback callback = nullptr;
    uintptr_t instance = 0;
    // Buffers written and not yet finished; the callback counts them down.
    std::atomic<long> outstanding{0};

    std::mutex headersMutex;  // guards `headers`; never taken by the callback
    std::unordered_map<WaveHeader*, std::unique_ptr<WAVEHDR>> headers;

    // The WAVEHDR of `header`, made at its first use; its fields copied from the portable ones.
    WAVEHDR& nativeOf(WaveHeader& header) {
        std::lock_guard lock(headersMutex);
        auto& slot = headers[&header];
        if (!slot) {
            slot = std::make_unique<WAVEHDR>();
            *slot = {};
        }
        WAVEHDR& n = *slot;
        if ((n.dwFlags & WHDR_PREPARED) == 0) {
            n.lpData = header.lpData;
            n.dwBufferLength = header.dwBufferLength;
            n.dwBytesRecorded = header.dwBytesRecorded;
            n.dwLoops = header.dwLoops;
        }
        n.dwUser = reinterpret_cast<DWORD_PTR>(&header);
        return n;
    }
};

void CALLBACK WinmmWaveOutDevice::Native::waveOutProc(HWAVEOUT, UINT message, DWORD_PTR instance,
                                                      DWORD_PTR param1, DWORD_PTR param2) {
    auto* self = reinterpret_cast<Native*>(instance);
    uintptr_t portableParam = param1;
    if (message == WOM_DONE) {
        auto* n = reinterpret_cast<WAVEHDR*>(param1);
        auto* header = reinterpret_cast<WaveHeader*>(n->dwUser);
        header->dwFlags = static_cast<uint32_t>(n->dwFlags);
        portableParam = reinterpret_cast<uintptr_t>(header);
    }
    if (self->callback != nullptr) {
        self->callback(self->owner, static_cast<uint32_t>(message), self->instance, portableParam,
                       param2);
    }
    if (message == WOM_DONE) {
        self->outstanding.fetch_sub(1);
    }
}

WinmmWaveOutDevice::WinmmWaveOutDevice(std::optional<uint32_t> deviceId)
    : deviceId(deviceId), native(std::make_unique<Native>()) {
    native->owner = this;
}

WinmmWaveOutDevice::~WinmmWaveOutDevice() {
    close();
}

WaveResult WinmmWaveOutDevice::open(const WaveFormatExtensible& format, WaveOutCallback callback,
                                    uintptr_t instance) {
    if (native->handle != nullptr) {
        return kWaveAllocated;
    }
    WAVEFORMATEXTENSIBLE n = toNative(format);
    native->callback = callback;
    native->instance = instance;
    native->outstanding = 0;
    HWAVEOUT handle = nullptr;
    const MMRESULT r = waveOutOpen(&handle, deviceId ? UINT{*deviceId} : WAVE_MAPPER, &n.Format,
                                   reinterpret_cast<DWORD_PTR>(&Native::waveOutProc),
                                   reinterpret_cast<DWORD_PTR>(native.get()), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        return waveResultFromMm(r);
    }
    native->handle = handle;
    channelMask = format.dwChannelMask;
    return kWaveNoError;
}

std::vector<uint32_t> WinmmWaveOutDevice::channelSpeakers() const {
    return native->handle != nullptr ? speakerBitsOfMask(channelMask) : std::vector<uint32_t>{};
}

WaveResult WinmmWaveOutDevice::prepareHeader(WaveHeader& header) {
    if (native->handle == nullptr) {
        return kWaveInvalidHandle;
    }
    WAVEHDR& n = native->nativeOf(header);
    const MMRESULT r = waveOutPrepareHeader(native->handle, &n, sizeof(WAVEHDR));
    header.dwFlags = static_cast<uint32_t>(n.dwFlags);
    return waveResultFromMm(r);
}

WaveResult WinmmWaveOutDevice::unprepareHeader(WaveHeader& header) {
    if (native->handle == nullptr) {
        return kWaveInvalidHandle;
    }
    WAVEHDR& n = native->nativeOf(header);
    if ((n.dwFlags & WHDR_PREPARED) == 0) {
        // Prepared on an earlier opening, which winmm has forgotten with its handle.
        header.dwFlags &= ~kWhdrPrepared;
        return kWaveNoError;
    }
    const MMRESULT r = waveOutUnprepareHeader(native->handle, &n, sizeof(WAVEHDR));
    header.dwFlags = static_cast<uint32_t>(n.dwFlags);
    return waveResultFromMm(r);
}

WaveResult WinmmWaveOutDevice::write(WaveHeader& header) {
    if (native->handle == nullptr) {
        return kWaveInvalidHandle;
    }
    WAVEHDR& n = native->nativeOf(header);
    if ((n.dwFlags & WHDR_PREPARED) == 0) {
        return kWaveUnprepared;
    }
    // The notice may come before waveOutWrite returns: the flags are set first, and the
    // callback alone writes them afterwards.
    header.dwFlags = (static_cast<uint32_t>(n.dwFlags) & ~kWhdrDone) | kWhdrInQueue;
    native->outstanding.fetch_add(1);
    const MMRESULT r = waveOutWrite(native->handle, &n, sizeof(WAVEHDR));
    if (r != MMSYSERR_NOERROR) {
        native->outstanding.fetch_sub(1);
        header.dwFlags = static_cast<uint32_t>(n.dwFlags);
    }
    return waveResultFromMm(r);
}

WaveResult WinmmWaveOutDevice::reset() {
    if (native->handle == nullptr) {
        return kWaveInvalidHandle;
    }
    const MMRESULT r = waveOutReset(native->handle);
    // winmm may give the notices of the buffers it hands back on its own thread a little later.
    const auto deadline = std::chrono::steady_clock::now() + kResetLimit;
    while (native->outstanding.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (r != MMSYSERR_NOERROR) {
        return waveResultFromMm(r);
    }
    return native->outstanding.load() > 0 ? kWaveError : kWaveNoError;
}

WaveResult WinmmWaveOutDevice::close() {
    if (native->handle == nullptr) {
        return kWaveInvalidHandle;
    }
    if (native->outstanding.load() > 0) {
        reset();
    }
    const MMRESULT r = waveOutClose(native->handle);
    if (r != MMSYSERR_NOERROR) {
        return waveResultFromMm(r);
    }
    native->handle = nullptr;
    {
        // The handle's preparations end with it; the WAVEHDRs stay for the headers' next use.
        std::lock_guard lock(native->headersMutex);
        for (auto& [header, n] : native->headers) {
            n->dwFlags = 0;
        }
    }
    return kWaveNoError;
}
