// The lines the program prints when the sound output is lost while it plays and when it is back,
// and the relay that hands them from the playback thread to the console.
//
// The playback thread must never wait on anything but the device: a console or a pipe that takes
// no more text would otherwise stop the sound and hold the way out. So the output module's hook
// only records the event in a small ring and wakes the relay's printer thread, which writes the
// line. The printer writes under screenMutex(), as the main thread does, so that a line and its
// colours are never mixed with another; the main thread is almost always waiting for input then,
// so the line lands after the question on screen.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <thread>

#include "output/wave_out.h"

// Held while a line and its colour changes are written to the program's screen by a thread that
// may run alongside another writer.
std::mutex& screenMutex();

// Writes the line for `event`: a red error line for a loss, a green line for the return.
void printDeviceNotice(std::ostream& out, WaveOutEvent event);

class DeviceNoticeRelay {
  public:
    // Prints to `out`, which must outlive the relay's printer.
    explicit DeviceNoticeRelay(std::ostream& out);
    // Lets the printer write what is still recorded, waiting for it at most kEndLimit; a printer
    // that is stuck in a write by then is let go.
    ~DeviceNoticeRelay();

    DeviceNoticeRelay(const DeviceNoticeRelay&) = delete;
    DeviceNoticeRelay& operator=(const DeviceNoticeRelay&) = delete;

    // Starts the printer thread. False when it cannot be created.
    bool start();

    // A hook for M_WaveOut::setEventHook. It records the event and wakes the printer: no lock,
    // no wait, no text written. Called by one thread at a time (the playback thread); it may be
    // called after the relay is gone, and then records into nothing that is printed.
    std::function<void(WaveOutEvent)> hook() const;

    static constexpr std::chrono::milliseconds kEndLimit{500};

  private:
    struct State;
    static void print(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread printer;
};
