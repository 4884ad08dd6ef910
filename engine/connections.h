// Connections: an input reads an output when its inputSources entry points at that output's
// Port. There is no connection record and no list of readers; readers of an output are found
// through the children of the source's parent container.
#pragma once

#include <cstdint>
#include <string>

#include "engine/audio_module.h"

// Make input `input` of `reader` read output `output` of `source`, naming either port by index
// or by name. Names resolve first (output, then input); std::out_of_range for an index out of
// range or a name never given, with every connection left as it was. Returns the reader.
AudioModule& connect(AudioModule& source, int32_t output, int32_t input, AudioModule& reader);
AudioModule& connect(AudioModule& source, int32_t output, const std::string& input,
                     AudioModule& reader);
AudioModule& connect(AudioModule& source, const std::string& output, const std::string& input,
                     AudioModule& reader);
AudioModule& connect(AudioModule& source, const std::string& output, int32_t input,
                     AudioModule& reader);

// Point an input of `reader` back at its own port. An invalid index or name is ignored.
void disconnect(int32_t input, AudioModule& reader);
void disconnect(const std::string& input, AudioModule& reader);
