// The program writing sound files: the real tonarium binary with --output, each file read back
// with libsndfile. No sound server is involved: what a file holds is exactly what the program
// would have played.
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "output/sample_conversion.h"
#include "synthesis/sines.h"
#include "tests/support/child_process.h"
#include "tests/support/e2e_session.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kLimit = 20s;

struct SoundFile {
    SF_INFO info{};
    std::vector<double> left;  // channel 0
};

// The file read back by libsndfile; nothing when it does not open as a sound file.
std::optional<SoundFile> readSoundFile(const fs::path& path) {
    SoundFile file;
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &file.info);
    if (sf == nullptr) {
        return std::nullopt;
    }
    std::vector<double> frames(static_cast<size_t>(file.info.frames * file.info.channels));
    sf_readf_double(sf, frames.data(), file.info.frames);
    sf_close(sf);
    for (size_t i = 0; i < frames.size(); i += static_cast<size_t>(file.info.channels)) {
        file.left.push_back(frames[i]);
    }
    return file;
}

// Channel 0 of a file of 32-bit samples, as the integers stored.
std::vector<int32_t> leftIntegers(const fs::path& path) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<int32_t> frames(sf != nullptr ? static_cast<size_t>(info.frames * info.channels)
                                              : 0);
    if (sf != nullptr) {
        sf_readf_int(sf, frames.data(), info.frames);
        sf_close(sf);
    }
    std::vector<int32_t> left;
    for (size_t i = 0; i < frames.size(); i += static_cast<size_t>(info.channels)) {
        left.push_back(frames[i]);
    }
    return left;
}

class FileOutputEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        folder = fs::path(::testing::TempDir()) / ("tonarium-" + std::to_string(getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    // Runs the program to its end; its status and everything it wrote on both streams.
    std::pair<std::optional<int>, std::string> run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), TONARIUM_BINARY);
        ChildProcess program(arguments, {.output = true, .errorToOutput = true});
        Transcript transcript(program.outputFd());
        const std::optional<int> status = program.waitForExit(kLimit);
        transcript.waitForEnd(kLimit);
        return {status, transcript.text()};
    }

    fs::path folder;
};

TEST_F(FileOutputEndToEnd, TimedFileHoldsExactlyItsFramesOfTheAskedTonesInEveryKind) {
    struct Kind {
        const char* extension;
        int subtype;  // what the format search lands on for it
    };
    for (const Kind kind : {Kind{".wav", SF_FORMAT_PCM_32}, Kind{".flac", SF_FORMAT_PCM_24},
                            Kind{".aiff", SF_FORMAT_PCM_32}, Kind{".caf", SF_FORMAT_PCM_32},
                            Kind{".w64", SF_FORMAT_PCM_32}, Kind{".rf64", SF_FORMAT_PCM_32}}) {
        SCOPED_TRACE(kind.extension);
        const fs::path path = folder / (std::string("tone") + kind.extension);
        const auto [status, text] = run({"-o", path, "-n", "3", "-f", "440", "-d", "0.25"});
        EXPECT_EQ(status, std::optional<int>(0));
        EXPECT_EQ(text.rfind("Файл: " + path.string() + "\nКоличество каналов: 2\n", 0), 0u)
            << text;
        const std::optional<SoundFile> file = readSoundFile(path);
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(file->info.frames, 48000);
        EXPECT_EQ(file->info.samplerate, 192000);
        EXPECT_EQ(file->info.format & SF_FORMAT_SUBMASK, kind.subtype);
        for (double hz : {440.0, 880.0, 1760.0}) {
            EXPECT_NEAR(amplitudeAt(file->left, hz, 192000), 0.707 / 3, 0.002) << hz;
        }
        EXPECT_LT(amplitudeAt(file->left, 3520.0, 192000), 0.002);
    }

    // Bit for bit the tone source's samples, converted as the output module converts them.
    const int32_t savedRate = g_sampleRate;
    g_sampleRate = 192000;
    M_Sines sines(3);
    sines.setInputValue(0, 440.0);
    sines.setInputValue(1, 0.707);
    const std::vector<int32_t> stored = leftIntegers(folder / "tone.wav");
    ASSERT_EQ(stored.size(), 48000u);
    size_t differing = 0;
    for (int32_t sample : stored) {
        sines.process();
        differing += sample != sampleValue(32, sines.outputs[0].value) ? 1 : 0;
    }
    g_sampleRate = savedRate;
    EXPECT_EQ(differing, 0u);
}

// True once the file at `path` has grown by `bytes` (from when this is called), false after
// `limit`.
bool waitForGrowth(const fs::path& path, uintmax_t bytes, std::chrono::milliseconds limit) {
    std::error_code absent;
    const uintmax_t start = fs::file_size(path, absent);
    const uintmax_t target = (absent ? 0 : start) + bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const uintmax_t size = fs::file_size(path, absent);
        if (!absent && size >= target) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// The largest difference between two consecutive samples.
double largestStep(const std::vector<double>& s) {
    double largest = 0.0;
    for (size_t i = 1; i < s.size(); ++i) {
        largest = std::max(largest, std::abs(s[i] - s[i - 1]));
    }
    return largest;
}

TEST_F(FileOutputEndToEnd, SmoothChangesStepNoMoreThanTheSteadyToneAndPlainOnesClick) {
    // The richest sound of the session below, steady: five tones from 440 Hz.
    const fs::path steadyPath = folder / "steady.wav";
    ASSERT_EQ(run({"-q", "-o", steadyPath, "-n", "5", "-f", "440", "-d", "0.1"}).first, 0);
    const double steady = largestStep(readSoundFile(steadyPath)->left);

    // A timed run fades in at its start and out at its end.
    const fs::path timedPath = folder / "timed.wav";
    ASSERT_EQ(run({"-q", "-s", "-o", timedPath, "-n", "3", "-f", "440", "-d", "0.1"}).first, 0);
    const std::vector<double> timed = readSoundFile(timedPath)->left;
    EXPECT_LE(largestStep(timed), 1.5 * steady);
    EXPECT_EQ(timed.size(), 19200u);
    EXPECT_EQ(timed.back(), 0.0);

    // Playing 3 tones: 5 tones while playing, a stop with 0, a resumption from the held phases,
    // a step back and the end.
    for (const bool smooth : {true, false}) {
        SCOPED_TRACE(smooth ? "smooth" : "plain");
        const fs::path path = folder / (smooth ? "smooth.wav" : "plain.wav");
        std::vector<std::string> command{TONARIUM_BINARY, "-q", "-o", path, "-n", "3", "-f", "440"};
        if (smooth) {
            command.push_back("--smooth=5");
        }
        ChildProcess program(command, {.input = true, .output = true});
        Transcript transcript(program.outputFd());
        // Each answer once another 50 ms have been written, so that every state is heard.
        for (const char* answer : {"5\n", "0\n", "440\n", "-1\n", "-1\n"}) {
            ASSERT_TRUE(waitForGrowth(path, 192000 / 20 * 8, kLimit));
            program.writeInput(answer);
        }
        EXPECT_EQ(program.waitForExit(kLimit), std::optional<int>(0));
        const double step = largestStep(readSoundFile(path)->left);
        if (smooth) {
            EXPECT_LE(step, 1.5 * steady);
        } else {
            EXPECT_GT(step, 1.5 * steady);
        }
    }
}

TEST_F(FileOutputEndToEnd, InterruptedRecordingIsAValidFileOfTheFramesMadeSoFar) {
    const fs::path path = folder / "session.wav";
    ChildProcess program({TONARIUM_BINARY, "-o", path, "-f", "440"},
                         {.input = true, .output = true});
    Transcript transcript(program.outputFd());
    ASSERT_TRUE(transcript.waitFor("Введите количество тонов: ", 1, kLimit)) << transcript.text();
    // Paced like a sound card: a third of a second of 32-bit stereo is about 0.5 MB.
    ASSERT_TRUE(waitForGrowth(path, 512 * 1024, kLimit));
    kill(program.pid(), SIGINT);
    EXPECT_EQ(program.waitForExit(500ms), std::optional<int>(128 + SIGINT));

    const std::optional<SoundFile> file = readSoundFile(path);
    ASSERT_TRUE(file.has_value());
    EXPECT_GE(file->info.frames, 192000 / 3);
    EXPECT_NEAR(zeroCrossingHz(file->left, 192000), 440.0, 1.0);
    EXPECT_NEAR(amplitudeAt(file->left, 440.0, 192000), 0.707, 0.01);
}

TEST_F(FileOutputEndToEnd, UnwritableFilesEndWithOneErrorLineAndStatusOne) {
    const fs::path full = folder / "full.wav";
    fs::create_symlink("/dev/full", full);
    struct Case {
        fs::path path;
        std::string line;
    };
    for (const Case& c : {Case{full, "Ошибка: Не удаётся записать файл «" + full.string() + "».\n"},
                          Case{folder / "missing" / "t.wav",
                               "Ошибка: Не удаётся создать файл «" +
                                   (folder / "missing" / "t.wav").string() + "».\n"}}) {
        SCOPED_TRACE(c.path);
        const auto [status, text] = run({"-q", "-o", c.path, "-f", "440", "-d", "1"});
        EXPECT_EQ(status, std::optional<int>(1));
        EXPECT_EQ(text, c.line);
    }
}

}  // namespace
