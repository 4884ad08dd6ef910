// The console dialogue: the device report (or the failure report), then two questions asked over
// and over, the number of tones and the fundamental frequency in hertz, each answer written into
// the tone source while it plays. A negative answer steps back: from the frequency to the tone
// count, and from the tone count out of the dialogue.
//
// The input is a stream of whitespace-separated integers, read by formatted extraction: several
// numbers on one line answer several questions, and "440.5" answers 440 and makes the next read
// fail on the point. A read that fails prints an error line, discards the rest of that line and
// repeats the question without changing the sound. At the end of the input the dialogue ends as
// after a negative tone count.
//
// The dialogue runs on the main thread over any pair of streams and makes its two kinds of change
// through a ToneChanges: written directly into the tone source under the lock of the container
// that renders it (a ParameterLock), or faded. The lock is held only around the changes, never
// while the dialogue reads or writes the streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "app/tone_changes.h"

class M_Sines;

// What the output device accepted.
struct DeviceFormat {
    int32_t channels = 0;
    int32_t rateHz = 0;
    int32_t bits = 0;
};

// Reports that no output device was found and waits for one character of input (or its end).
void runFailureReport(std::istream& in, std::ostream& out);

// The prompt to press a key to exit, then a wait for one character of input (or its end).
void waitForAnyKey(std::istream& in, std::ostream& out);

// The device report: its success line, the output it plays on (where one is named), the channels,
// rate and depth, and the rate at which a sound server plays the stream where it resamples it
// (serverRateHz not 0).
void printDeviceReport(std::ostream& out, const DeviceFormat& format,
                       const std::string& outputName = {}, int32_t serverRateHz = 0);

// The report of a sound file written in place of a device: its name, then the channels, rate
// and depth.
void printFileReport(std::ostream& out, const std::string& path, const DeviceFormat& format);

// An empty line and the hint line about stepping back, printed after the device report.
void printHint(std::ostream& out);

// An error line: "Ошибка: " in light red, the message in white, a line end.
void printError(std::ostream& out, const char* message);

class Dialogue {
  public:
    // `exitRequested` is set by another thread; the dialogue ends when it finds it set at the
    // start, at the start of each frequency question and on a step back from the frequency.
    Dialogue(std::istream& in, std::ostream& out, ToneChanges& changes,
             const std::atomic<bool>& exitRequested);

    // Asks the questions until the dialogue ends. Main thread.
    void run();

  private:
    enum class State { AskCount, AskFrequency, Ended };
    enum class Read { Number, Failed, EndOfInput };

    State askCount();
    State askFrequency();
    // Reads one number into `answer`; on a failure `answer` keeps its value.
    Read readAnswer();
    // Discards the rest of the input line and prints the error line.
    void rejectInput();

    std::istream& in;
    std::ostream& out;
    ToneChanges& changes;
    const std::atomic<bool>& exitRequested;
    int32_t answer = 0;
};
