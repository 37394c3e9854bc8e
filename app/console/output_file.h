#pragma once
// Output files that are replaced whole or not at all: written to a temporary file beside
// the target, then renamed over it.

#include <filesystem>
#include <string>
#include <string_view>

namespace vesk::console {

// Why `path` cannot take an output file; empty when it can: its folder exists and takes
// a new file, and the path is not a directory, FIFO, device or socket. Creates and
// removes a temporary file in the folder to find out.
std::string OutputPathProblem(const std::filesystem::path& path);

// Writes `bytes` to a temporary file beside `path` (beside a link's target when `path`
// is a link) and renames it over `path`. False when any of it failed; `path` then holds
// what it held before, and no temporary file is left behind.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// A path from UTF-8 text, as the console's arguments are on every platform.
std::filesystem::path PathFromUtf8(std::string_view text);

}  // namespace vesk::console
