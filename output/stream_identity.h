// How Tonarium's stream introduces itself to a sound server (PipeWire, PulseAudio): the
// application, its icon and the kind of audio, so that mixers and policies show and treat it as
// a test signal of this program. The media name, which says what plays, comes from the program
// (WaveOutDevice::describeStream).
#pragma once

inline constexpr const char* kStreamApplicationName = "Tonarium";
inline constexpr const char* kStreamApplicationId = "tonarium";
// A standard icon name of freedesktop.org icon themes, present in every theme.
inline constexpr const char* kStreamIconName = "audio-card";
// The media role of a test signal, as PulseAudio's and PipeWire's policies know it.
inline constexpr const char* kStreamMediaRole = "test";
inline constexpr const char* kStreamPipewireMediaRole = "Test";
