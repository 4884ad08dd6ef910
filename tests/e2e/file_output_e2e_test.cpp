// The program writing sound files: the real tonarium binary with --output, each file read back
// with libsndfile. No sound server is involved: what a file holds is exactly what the program
// would have played.
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
}

TEST_F(FileOutputEndToEnd, InterruptedRecordingIsAValidFileOfTheFramesMadeSoFar) {
    const fs::path path = folder / "session.wav";
    ChildProcess program({TONARIUM_BINARY, "-o", path, "-f", "440"},
                         {.input = true, .output = true});
    Transcript transcript(program.outputFd());
    ASSERT_TRUE(transcript.waitFor("Введите количество тонов: ", 1, kLimit)) << transcript.text();
    // Paced like a sound card: a third of a second of 32-bit stereo is about 0.5 MB.
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    std::error_code ignored;
    while (fs::file_size(path, ignored) < 512 * 1024 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
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
