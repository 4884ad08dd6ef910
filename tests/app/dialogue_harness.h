// Test doubles for the front end: a console effect that writes each applied attribute into the
// transcript as "{XX}" (two hex digits), a scripted input that hands out its text in chunks and
// runs an action before each chunk, and a lock that records what changed in the tone source
// under it and notes every change made outside it or input awaited while holding it.
#pragma once

#include <cstdio>
#include <functional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "app/console.h"
#include "app/dialogue.h"
#include "synthesis/sines.h"

class MarkingEffect : public ConsoleEffect {
  public:
    explicit MarkingEffect(std::ostream& transcript) : transcript(transcript) {}
    void applyAttribute(uint16_t attribute) override {
        char mark[16];
        std::snprintf(mark, sizeof mark, "{%02X}", attribute);
        transcript << mark;
    }
    int clearScreen() override { return 0; }
    bool writeConsole(const char*) override { return true; }
    bool setCursorPosition(uint16_t, uint16_t) override { return true; }
    bool setTitle(const char*) override { return true; }
    int chooseAudioFile(char*) override { return 0; }

  private:
    std::ostream& transcript;
};

// Each locked section is recorded as "tones=3", "hz=440", or "none" when nothing changed.
class RecordingLock : public ParameterLock {
  public:
    explicit RecordingLock(const M_Sines& sines) : sines(sines), seen(state()) {}

    void lock() override {
        checkUnchanged("before lock");
        held = true;
    }
    void unlock() override {
        held = false;
        const State now = state();
        std::ostringstream change;
        if (now.tones != seen.tones || now.phases != seen.phases) {
            change << "tones=" << now.tones << (now.hz != seen.hz ? " " : "");
        }
        if (now.hz != seen.hz) {
            change << "hz=" << now.hz;
        }
        writes.push_back(change.str().empty() ? "none" : change.str());
        seen = now;
    }
    // The dialogue waits for input (or has ended).
    void awaitingInput() {
        if (held) {
            violations.push_back("input awaited with the lock held");
        }
        checkUnchanged("at an input wait");
    }

    bool held = false;
    std::vector<std::string> writes;
    std::vector<std::string> violations;

  private:
    struct State {
        int32_t tones;
        size_t phases;
        double hz;
    };
    State state() const { return {sines.toneCount, sines.phases.size(), sines.inputValue(0)}; }
    void checkUnchanged(const char* when) {
        const State now = state();
        if (now.tones != seen.tones || now.phases != seen.phases || now.hz != seen.hz) {
            violations.push_back(std::string("tone source changed outside the lock, ") + when);
        }
    }

    const M_Sines& sines;
    State seen;
};

// Hands out one chunk per underflow, running the chunk's action first.
class ScriptedInput : public std::streambuf {
  public:
    struct Chunk {
        std::string text;
        std::function<void()> before;
    };
    ScriptedInput(std::vector<Chunk> chunks, RecordingLock* lock)
        : chunks(std::move(chunks)), lock(lock) {}

    size_t waits = 0;

  protected:
    int_type underflow() override {
        ++waits;
        if (lock != nullptr) {
            lock->awaitingInput();
        }
        while (next < chunks.size()) {
            Chunk& chunk = chunks[next++];
            if (chunk.before) {
                chunk.before();
            }
            if (!chunk.text.empty()) {
                current = chunk.text;
                setg(current.data(), current.data(), current.data() + current.size());
                return traits_type::to_int_type(current[0]);
            }
        }
        return traits_type::eof();
    }

  private:
    std::vector<Chunk> chunks;
    size_t next = 0;
    std::string current;
    RecordingLock* lock;
};
