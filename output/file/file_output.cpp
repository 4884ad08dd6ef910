// Choosing a file kind by a path's extension, among the kinds the platform's writer makes.
#include "output/file/file_output.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "output/device_factory.h"

namespace {

constexpr std::array<std::pair<FileKind, std::string_view>, 6> kExtensions = {{
    {FileKind::Wav, ".wav"},
    {FileKind::Flac, ".flac"},
    {FileKind::Aiff, ".aiff"},
    {FileKind::Caf, ".caf"},
    {FileKind::W64, ".w64"},
    {FileKind::Rf64, ".rf64"},
}};

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool writable(FileKind kind) {
    const std::vector<FileKind> kinds = writableFileKinds();
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

}  // namespace

std::string_view extensionOfKind(FileKind kind) {
    for (const auto& [k, extension] : kExtensions) {
        if (k == kind) {
            return extension;
        }
    }
    return {};
}

std::optional<FileKind> fileKindOfPath(std::string_view path) {
    // The extension belongs to the last component: "dir.wav/take" has none.
    const size_t slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;  // no extension, or a name such as ".wav" that is all extension
    }
    const std::string extension = lowerAscii(name.substr(dot));
    for (const auto& [kind, known] : kExtensions) {
        if (extension == known && writable(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

std::vector<std::string> acceptedFileExtensions() {
    std::vector<std::string> accepted;
    for (const auto& [kind, extension] : kExtensions) {
        if (writable(kind)) {
            accepted.emplace_back(extension);
        }
    }
    return accepted;
}
