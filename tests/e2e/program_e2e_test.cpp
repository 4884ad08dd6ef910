// The tonarium binary end to end, each test under a private PulseAudio server of its own
// (scripts/with-pulse.sh): what the default device plays, recorded from the sink's monitor; the
// output stalled, lost and replaced; the sound files it writes, read back with libsndfile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/recording.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The default output under the private PulseAudio server: natively where the build has the
// PulseAudio layer (the server's sink plays at 48 kHz and resamples), else through ALSA.
#if defined(TONARIUM_HAVE_PULSE)
const std::string kReport =
    "Устройство вывода звука успешно инициализировано.\nВывод: PulseAudio\nКоличество каналов: 2\n"
    "Частота дискретизации: 192000 Гц\nГлубина квантования: 32 бит\n"
    "Сервер воспроизводит с частотой: 48000 Гц\n";
#else
const std::string kReport =
    "Устройство вывода звука успешно инициализировано.\nВывод: ALSA\nКоличество каналов: 2\n"
    "Частота дискретизации: 192000 Гц\nГлубина квантования: 32 бит\n";
#endif
const std::string kAskCount = "\nВведите количество тонов: ";
const std::string kAskHz = "Введите частоту основного тона (Гц): ";
const std::string kLost =
    "Ошибка: Связь с устройством вывода звука потеряна, идёт переподключение.\n";
const std::string kBack = "Связь с устройством вывода звука восстановлена.\n";
constexpr size_t kBufferFrames = 5760;  // 46080 bytes of 32-bit stereo
constexpr auto kLimit = 15s;            // a new stream may stall two seconds before it plays
const ChildPipes kPiped{.input = true, .output = true, .errorToOutput = true};

std::vector<std::string> tonarium(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TONARIUM_BINARY);
    return arguments;
}

int runTool(const std::vector<std::string>& argv) {
    return ChildProcess(argv).waitForExit(kLimit).value_or(-1);
}

bool toneHeardWithin(std::chrono::milliseconds limit) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    const auto tone440 = [](std::span<const double> s) {
        return amplitudeAt(s, 440, 48000) > 0.5 && std::abs(zeroCrossingHz(s, 48000) - 440) < 9;
    };
    return recording.waitForWindow(0, 100, tone440, limit).has_value();
}

class ProgramEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(monitorSourceFromEnvironment().empty()) << "run under scripts/with-pulse.sh";
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    const fs::path folder = fs::path(testing::TempDir()) / ("tonarium-" + std::to_string(getpid()));
};

TEST_F(ProgramEndToEnd, TimedRunPlaysTheTonesOnTheDefaultDeviceForItsDuration) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kLimit));
    const size_t before = recording.frameCount();
    ChildProcess program(tonarium({"-n", "3", "-f", "440", "-d", "1"}), kPiped);
    EXPECT_EQ(program.waitForExit(kLimit), 0);
    EXPECT_EQ(program.output(kLimit), kReport);
    const size_t ended = recording.framesArrivedBy(MonitorRecording::Clock::now());
    ASSERT_TRUE(recording.waitForFrames(ended + 24000, kLimit));
    const std::vector<double> s =
        channelOf(recording.samples(before, recording.frameCount()), 2, 0);
    const auto loud = [](double x) { return std::abs(x) > 0.05; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    ASSERT_NEAR(static_cast<double>(last - first) / 48000, 1.0, 0.05) << "not a second of tone";
    EXPECT_NEAR(amplitudeAt({first + 14400, 19200}, 1760, 48000), 0.707 / 3, 0.01);
}

// Every channel count and depth, at the lowest and the highest rates too, keeps the server fed
// for 10 s: the buffers play 30 ms in every format, so none of them runs the server dry.
TEST_F(ProgramEndToEnd, EveryFormatPlaysTenSecondsWithoutAnUnderrun) {
    const std::string stats = folder / "stats";
    setenv("TONARIUM_STATS", stats.c_str(), 1);
    for (const auto& [channels, bits, rate] : {std::tuple{"8", "32", "192000"},
                                               {"6", "24", "192000"},
                                               {"4", "16", "192000"},
                                               {"8", "16", "96000"},
                                               {"2", "32", "384000"},
                                               {"2", "16", "44100"}}) {
        SCOPED_TRACE(testing::Message() << channels << " channels, " << bits << " bits, " << rate);
        ChildProcess program(
            tonarium({"-q", "-f", "440", "-d", "10", "-c", channels, "-b", bits, "-r", rate}),
            kPiped);
        EXPECT_EQ(program.waitForExit(kLimit + 10s), 0) << program.output();
        std::ifstream played(stats);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // A sanitizer's slowdown is no measure of keeping a device fed.
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(played), {}), "underruns 0\n");
#endif
    }
    unsetenv("TONARIUM_STATS");
}

// A sink or a server that goes, or a server that stops answering, is told of once; the tone
// comes back from the new one; a timed run ends; while a server is stopped every way out ends
// at once.
TEST_F(ProgramEndToEnd, ALostOutputIsToldOfAndComesBackAndAStoppedOneHoldsNothing) {
    ChildProcess program(tonarium({"-f", "440"}), kPiped);
    ChildProcess silent(tonarium({}), kPiped);
    ChildProcess timed(tonarium({"-q", "-a", "0.01", "-f", "1000", "-d", "60"}), kPiped);
    ASSERT_TRUE(toneHeardWithin(kLimit));

    const std::string sink = std::getenv("TONARIUM_SINK");
    ASSERT_EQ(runTool({"pactl", "unload-module", "module-null-sink"}), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kLimit)) << program.output();
    EXPECT_EQ(timed.waitForExit(kLimit), 1);  // a timed run ends at a loss, with its reason
    EXPECT_EQ(timed.output(kLimit), "Ошибка: Связь с устройством вывода звука потеряна.\n");
    ASSERT_EQ(runTool({"pactl", "load-module", "module-null-sink", "sink_name=" + sink}), 0);
    ASSERT_EQ(runTool({"pactl", "set-default-sink", sink}), 0);
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone on the new sink";
    EXPECT_TRUE(program.waitForOutput(kBack, kLimit)) << program.output();

    ASSERT_EQ(kill(std::atoi(std::getenv("TONARIUM_PULSE_PID")), SIGKILL), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kLimit, 2)) << program.output();
    ChildProcess newServer(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--log-level=info", "-F", std::getenv("TONARIUM_PULSE_CONFIG")},
        {.errorToOutput = true});
    ASSERT_TRUE(newServer.waitForOutput("Daemon startup complete", kLimit)) << newServer.output();
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone from the new server";
    EXPECT_TRUE(program.waitForOutput(kBack, kLimit, 2)) << program.output();
    EXPECT_EQ(program.output(), kReport + "\nдля возврата к предыдущему параметру наберите -1\n" +
                                    kAskCount + kLost + kBack + kLost + kBack);

    kill(newServer.pid(), SIGSTOP);
    std::this_thread::sleep_for(300ms);  // the streams are stuck by now
    kill(program.pid(), SIGINT);
    EXPECT_EQ(program.waitForExit(1s), 128 + SIGINT);
    // A server that stays stopped is lost after a while; the end of input still ends at once.
    EXPECT_TRUE(silent.waitForOutput(kLost, 20s, 3)) << silent.output();
    silent.closeInput();
    EXPECT_EQ(silent.waitForExit(1s), 0);
    kill(newServer.pid(), SIGCONT);
}

// A FIFO at `path` with its reading end open here (not blocking) and nothing read yet.
int heldFifo(const fs::path& path) {
    return mkfifo(path.c_str(), 0600) == 0 ? open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                           : -1;
}

// True once the pipe `fd` reads from holds data that stopped growing (its writer blocks), false
// after `limit`.
bool waitUntilFull(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int before = -1, held = 0; std::chrono::steady_clock::now() < deadline; before = held) {
        std::this_thread::sleep_for(200ms);
        if (ioctl(fd, FIONREAD, &held) != 0 || (held > 0 && held == before)) {
            return held > 0;
        }
    }
    return false;
}

// Neither a full standard output nor a file that takes nothing more stops the sound or holds
// the way out: an interrupt ends the program within half a second.
TEST_F(ProgramEndToEnd, ABlockedOutputNeitherStopsTheSoundNorHoldsTheWayOut) {
    const fs::path fifo = folder / "held.flac";
    const int reader = heldFifo(fifo);
    ASSERT_GE(reader, 0);
    ChildProcess writer(tonarium({"-q", "-f", "440", "-d", "60", "-o", fifo}), kPiped);
    ASSERT_TRUE(waitUntilFull(reader, kLimit));
    kill(writer.pid(), SIGTERM);
    EXPECT_EQ(writer.waitForExit(500ms), 128 + SIGTERM);
    EXPECT_EQ(writer.output(kLimit),
              "Ошибка: Файл «" + fifo.string() + "» не удалось завершить вовремя.\n");
    close(reader);

    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (write(full[1], block.data(), block.size()) > 0) {
    }
    ChildProcess program(tonarium({"-f", "440"}), {.input = true, .outputFd = full[1]});
    ASSERT_TRUE(toneHeardWithin(kLimit));
    ASSERT_EQ(kill(std::atoi(std::getenv("TONARIUM_PULSE_PID")), SIGKILL), 0);
    ChildProcess newServer(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--log-level=info", "-F", std::getenv("TONARIUM_PULSE_CONFIG")},
        {.errorToOutput = true});
    ASSERT_TRUE(newServer.waitForOutput("Daemon startup complete", kLimit)) << newServer.output();
    EXPECT_TRUE(toneHeardWithin(kLimit)) << "the sound did not come back";
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(program.waitForExit(500ms), 128 + SIGTERM);
    close(full[0]);
    close(full[1]);
}

// A file written with a duration is not tied to the clock: held back far longer than its
// duration, it still comes out whole.
TEST_F(ProgramEndToEnd, AFileThatIsWrittenSlowerThanItPlaysStillGetsEveryFrame) {
    const fs::path fifo = folder / "slow.flac";
    const int reader = heldFifo(fifo);
    ASSERT_GE(reader, 0);
    ChildProcess program(tonarium({"-q", "-f", "440", "-d", "1", "-o", fifo}), kPiped);
    std::this_thread::sleep_for(12s);  // the time that passes is what is tested
    ASSERT_FALSE(program.waitForExit(0ms)) << program.output();
    std::string bytes;
    char chunk[65536];
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    for (ssize_t got = 0; std::chrono::steady_clock::now() < deadline;) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && (got = read(reader, chunk, sizeof chunk)) == 0) {
            break;  // the writer closed it
        }
        bytes.append(chunk, got > 0 ? static_cast<size_t>(got) : 0);
    }
    close(reader);
    EXPECT_EQ(program.waitForExit(kLimit), 0) << program.output();
    const fs::path copy = folder / "copy.flac";
    std::ofstream(copy, std::ios::binary) << bytes;
    SndfileHandle file(copy.string());
    std::vector<int> frames(2 * 4096);
    sf_count_t total = 0;
    for (sf_count_t got = 1; got > 0; total += got) {
        got = file.readf(frames.data(), 4096);
    }
    EXPECT_EQ(total, 192000);
}

// With too few threads for the run, each thread that cannot be started ends it with status 1 and
// its reason, and leaves no file or a valid one.
TEST_F(ProgramEndToEnd, AThreadThatCannotBeStartedEndsTheRunWithItsReason) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own threads count against the limit";
#endif
    // The limit holds only for a user without the right to pass it.
    std::vector<std::string> asUser;
    if (geteuid() == 0) {
        asUser = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    fs::permissions(folder, fs::perms::all);
    const std::string listener = "Ошибка: Не удаётся запустить поток обработки сигналов.\n";
    const std::string playback = "Ошибка: Не удаётся запустить поток воспроизведения звука.\n";
    const std::string notices =
        "Ошибка: Не удаётся запустить поток сообщений об устройстве вывода звука.\n";
    const struct {
        int threads;
        bool timed;
        std::string text;
        int frames;  // in the file; -1 for none made
    } table[] = {{1, true, listener, -1}, {2, true, listener, -1}, {3, true, playback, 0},
                 {4, true, "", 48000},    {3, false, notices, -1}, {4, false, playback, -1},
                 {5, false, playback, 0}};
    for (const auto& t : table) {
        SCOPED_TRACE(testing::Message() << t.threads << " threads, timed " << t.timed);
        const fs::path path =
            folder / ("run" + std::to_string(t.threads) + (t.timed ? "t.wav" : ".wav"));
        std::vector<std::string> argv = asUser;
        const std::vector<std::string> run = {"prlimit",
                                              "--nproc=" + std::to_string(t.threads),
                                              TONARIUM_BINARY,
                                              "-q",
                                              "-f",
                                              "440",
                                              "-o",
                                              path.string(),
                                              t.timed ? "-d" : "-n",
                                              t.timed ? "0.25" : "1"};
        argv.insert(argv.end(), run.begin(), run.end());
        ChildProcess program(argv, kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), t.text.empty() ? 0 : 1);
        EXPECT_EQ(program.output(kLimit), t.text);
        EXPECT_EQ(fs::exists(path), t.frames >= 0);
        if (t.frames >= 0) {
            SndfileHandle file(path.string());
            EXPECT_EQ(std::tuple(file.error(), file.frames()), std::tuple(0, sf_count_t{t.frames}));
        }
    }
}

// The walk's lines and what each channel of a recording of `channels` interleaved carries:
// every step must sound on its own channel alone (the others exactly zero) and every gap be
// silent, `stepFrames` and `gapFrames` long each.
void expectWalk(const std::vector<int>& samples, int channels, const std::vector<int>& walked,
                size_t stepFrames, size_t gapFrames) {
    ASSERT_EQ(samples.size(), channels * (walked.size() * (stepFrames + gapFrames) - gapFrames));
    for (size_t frame = 0; frame * channels < samples.size(); ++frame) {
        const size_t step = frame / (stepFrames + gapFrames);
        const bool sounding = frame % (stepFrames + gapFrames) < stepFrames;
        for (int c = 0; c < channels; ++c) {
            if (!sounding || c != walked[step]) {
                ASSERT_EQ(samples[frame * channels + c], 0)
                    << "frame " << frame << " channel " << c;
            }
        }
    }
}

// The speaker test into a file: one segment per channel in the order named, and a multichannel
// file that says which speaker each channel is.
TEST_F(ProgramEndToEnd, TheSpeakerTestIntoAFileSoundsEachChannelAloneInTheOrderNamed) {
    const std::vector<std::string> names = {"1 Передний левый (FL)",
                                            "2 Передний правый (FR)",
                                            "3 Передний центральный (FC)",
                                            "4 Сабвуфер (LFE)",
                                            "5 Задний левый (BL)",
                                            "6 Задний правый (BR)",
                                            "7 Передний левый центральный (FLC)",
                                            "8 Передний правый центральный (FRC)",
                                            "7 Боковой левый (SL)",
                                            "8 Боковой правый (SR)"};
    const struct {
        std::vector<std::string> arguments;
        std::vector<int> walked;
        std::vector<int> lines;  // of `names`
        int lastSpeaker;         // libsndfile's speaker of the last channel
    } table[] = {{{"-c", "2"}, {0, 1}, {0, 1}, SF_CHANNEL_MAP_RIGHT},
                 {{"-c", "6", "--channel", "LFE,1"}, {3, 0}, {3, 0}, SF_CHANNEL_MAP_REAR_RIGHT},
                 {{"-c", "8"},
                  {0, 1, 2, 3, 4, 5, 6, 7},
                  {0, 1, 2, 3, 4, 5, 6, 7},
                  SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER},
                 {{"-c", "8", "--side"},
                  {0, 1, 2, 3, 4, 5, 6, 7},
                  {0, 1, 2, 3, 4, 5, 8, 9},
                  SF_CHANNEL_MAP_SIDE_RIGHT}};
    for (const auto& t : table) {
        const std::string path = folder / "walk.wav";
        std::vector<std::string> argv = {"-q",  "-t", "--step", "0.05", "-f",
                                         "440", "-r", "48000",  "-o",   path};
        argv.insert(argv.end(), t.arguments.begin(), t.arguments.end());
        ChildProcess program(tonarium(argv), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0);
        std::string lines;
        for (int line : t.lines) {
            lines += names[static_cast<size_t>(line)] + "\n";
        }
        EXPECT_EQ(program.output(kLimit), lines);
        SndfileHandle file(path);
        std::vector<int> samples(static_cast<size_t>(file.frames() * file.channels()));
        file.readf(samples.data(), file.frames());
        expectWalk(samples, file.channels(), t.walked, 2400, 4800);
        std::vector<int> map(static_cast<size_t>(file.channels()));
        file.command(SFC_GET_CHANNEL_MAP_INFO, map.data(),
                     static_cast<int>(map.size() * sizeof(int)));
        EXPECT_EQ(map.back(), t.lastSpeaker);
    }
}

// Through the server, the channel named is the speaker that sounds: a 5.1 sink records each
// step on the speaker of the line printed.
TEST_F(ProgramEndToEnd, TheSpeakerTestSoundsOnTheServersSpeakerItNames) {
    const std::string map = "front-left,front-right,front-center,lfe,rear-left,rear-right";
    ASSERT_EQ(runTool({"pactl", "load-module", "module-null-sink", "sink_name=six", "channels=6",
                       "channel_map=" + map}),
              0);
    ASSERT_EQ(runTool({"pactl", "set-default-sink", "six"}), 0);
    std::string recorded;
    std::mutex recordedMutex;
    ChildProcess parec({"parec", "--device=six.monitor", "--raw", "--format=s16le", "--rate=48000",
                        "--channels=6", "--channel-map=" + map, "--latency-msec=10"},
                       {.output = true}, [&](std::string_view bytes) {
                           std::lock_guard lock(recordedMutex);
                           recorded += bytes;
                       });
    ChildProcess program(tonarium({"-q", "-t", "-c", "6", "--step", "0.4", "-f", "440"}), kPiped);
    EXPECT_EQ(program.waitForExit(kLimit), 0);
    // The PulseAudio layer sets the stream's channel map itself; through ALSA's plugin the
    // device states none.
#if defined(TONARIUM_HAVE_PULSE)
    const std::string unknownMap;
#else
    const std::string unknownMap =
        "Устройство не сообщает, какой канал в какой колонке: каналы названы по раскладке.\n";
#endif
    EXPECT_EQ(program.output(kLimit),
              unknownMap +
                  "1 Передний левый (FL)\n2 Передний правый (FR)\n3 Передний центральный (FC)\n"
                  "4 Сабвуфер (LFE)\n5 Задний левый (BL)\n6 Задний правый (BR)\n");
    std::this_thread::sleep_for(300ms);  // the last step reaches the monitor
    std::lock_guard lock(recordedMutex);
    // The recorded channels in the order they sounded: the capture's map lists the speakers in
    // the order of the names printed.
    std::vector<int> order;
    const auto* frames = reinterpret_cast<const int16_t*>(recorded.data());
    for (size_t f = 0; f + 1 < recorded.size() / 12; ++f) {
        for (int c = 0; c < 6; ++c) {
            if (std::abs(frames[f * 6 + c]) > 3000 && (order.empty() || order.back() != c)) {
                order.push_back(c);
            }
        }
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ProgramEndToEnd, TimedFilesHoldExactlyTheirFramesOfTheTonesInEveryKind) {
    for (const std::string kind : {".wav", ".flac", ".aiff", ".caf", ".w64", ".rf64"}) {
        const std::string path = folder / ("tone" + kind);
        ChildProcess program(tonarium({"-o", path, "-n", "3", "-f", "440", "-d", "0.25"}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0);
        SndfileHandle file(path);
        const std::vector<double> left = leftOf(file);
        EXPECT_EQ(
            std::tuple(left.size(), file.samplerate(), file.channels(), file.format() & 0xffff),
            std::tuple(48000u, 192000, 2, kind == ".flac" ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_32));
        for (double hz : {440.0, 880.0, 1760.0, 3520.0}) {
            EXPECT_NEAR(amplitudeAt(left, hz, 192000), hz < 2000 ? 0.707 / 3 : 0, 0.002);
        }
    }
}

// A file that cannot be made or written ends the run with status 1 and the reason.
TEST_F(ProgramEndToEnd, AFileThatCannotBeMadeOrWrittenEndsTheRunWithItsReason) {
    fs::create_symlink("/dev/full", folder / "full.wav");
    for (const auto& [path, reason] : {std::pair{folder / "none" / "x.wav", "создать"},
                                       std::pair{folder / "full.wav", "записать"}}) {
        ChildProcess program(tonarium({"-f", "440", "-d", "0.25", "-o", path}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 1);
        EXPECT_EQ(program.output(kLimit),
                  "Ошибка: Не удаётся " + std::string(reason) + " файл «" + path.string() + "».\n");
    }
}

// True once the file has grown by `bytes` from now; false after `limit`.
bool waitForGrowth(const fs::path& path, uintmax_t bytes, std::chrono::milliseconds limit) {
    const uintmax_t target = fs::file_size(path) + bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fs::file_size(path) < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return fs::file_size(path) >= target;
}

// The tones of each whole buffer (those of 440, 660, 880 and 1320 Hz sounding at equal shares
// of the amplitude, "" for exact silence, "mixed" for anything else), repeats left out.
std::vector<std::string> buffersOf(const std::vector<double>& s) {
    std::vector<std::string> states;
    for (size_t at = 0; at + kBufferFrames <= s.size(); at += kBufferFrames) {
        const std::span<const double> buffer(s.data() + at, kBufferFrames);
        std::map<int, double> levels;
        for (int hz : {440, 660, 880, 1320}) {
            levels[hz] = amplitudeAt(buffer, hz, 192000);
        }
        const auto tones =
            std::count_if(levels.begin(), levels.end(), [](auto l) { return l.second > 0.05; });
        bool pure =
            tones > 0 || std::all_of(buffer.begin(), buffer.end(), [](double x) { return x == 0; });
        std::string state;
        for (const auto& [hz, level] : levels) {
            pure &= level < 0.01 || std::abs(level - 0.707 / tones) < 0.02;
            state += level > 0.05 ? std::to_string(hz) + " " : "";
        }
        if (states.empty() || states.back() != (pure ? state : "mixed")) {
            states.push_back(pure ? state : "mixed");
        }
    }
    return states;
}

TEST_F(ProgramEndToEnd, TheDialogueChangesTheToneBetweenBuffersAndWithSmoothWithoutAClick) {
    for (bool smooth : {false, true}) {
        SCOPED_TRACE(smooth ? "smooth" : "plain");
        const std::string path = folder / (smooth ? "smooth.wav" : "plain.wav");
        ChildProcess program(tonarium({"-q", "-o", path, "-f", "440", smooth ? "-s" : "-n1"}),
                             kPiped);
        // Each answer once four more buffers are written and the last answer has been taken
        // (its next question is out). The plain run ends by an interrupt, the smooth one at the
        // end of the input, fading out.
        const std::vector<std::string> answers = {"2\n", "660\n", "0\n", "440\n", "-1\n"};
        for (size_t asked = 1; asked <= answers.size() + 1; ++asked) {
            ASSERT_TRUE(program.waitForOutput(": ", kLimit, asked)) << program.output();
            ASSERT_TRUE(waitForGrowth(path, 4 * kBufferFrames * 8, kLimit));
            if (asked == (smooth ? 5 : 6)) {
                smooth ? program.closeInput() : void(kill(program.pid(), SIGINT));
                break;
            }
            program.writeInput(answers[asked - 1]);
        }
        EXPECT_EQ(program.waitForExit(1s), smooth ? 0 : 128 + SIGINT);
        const std::vector<double> s = leftOf(SndfileHandle(path));
        std::vector<std::string> states = buffersOf(s);
        if (smooth) {
            // 660 and 1320 Hz, the steepest steady sound, step by up to 0.023.
            const auto click = [](double a, double b) { return std::abs(b - a) > 0.026; };
            EXPECT_EQ(std::adjacent_find(s.begin(), s.end(), click), s.end());
            std::erase(states, "mixed");
        }
        std::vector<std::string> expected{"440 ", "440 880 ", "660 1320 ", "", "440 880 ", ""};
        expected.resize(smooth ? 5 : 6);  // the smooth run ends fading out from 440 and 880 Hz
        EXPECT_EQ(states, expected);
        EXPECT_EQ(s.back(), 0.0);
    }
}

}  // namespace
