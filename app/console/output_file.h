#pragma once
// Output files that are replaced whole or not at all: written to a temporary file beside
// the target, flushed to the disk, given the old file's mode, then renamed over it. And
// the station history, to which records are only ever appended.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vesk::console {

// Why `path` cannot take an output file; empty when it can: its folder exists and takes
// a new file, and the path is not a directory, FIFO, device or socket, nor a file the user
// may not write (a read-only file is refused, as most tools refuse to overwrite one).
// Creates and removes a temporary file in the folder to find out.
std::string OutputPathProblem(const std::filesystem::path& path);

// Writes `bytes` to a temporary file beside `path` (beside a link's target when `path`
// is a link), flushes it to the disk, gives it the old file's mode (and owner and group
// where permitted) and renames it over `path`. False when any of it failed; `path` then
// holds what it held before, and no temporary file is left behind. Temporaries that an
// earlier, killed writer of the same target left are removed first. A hard link to the
// old file keeps the old content (the rename detaches it). `beforeRename` is called with
// the temporary written and not yet renamed.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         const std::function<void()>& beforeRename = {});

// Appends `line` (which ends with a line feed) to `path` with one write in append mode,
// under an exclusive lock on the file, and flushes it to the disk; the file is created
// when missing, and a last line without its line feed gets one first. The file is never
// read whole. False when it could not be done; nothing is then appended.
bool AppendRecord(const std::filesystem::path& path, std::string_view line);

// Removes every temporary file that WriteFileAtomically has created and not yet renamed
// or removed. Safe to call from a signal handler.
void RemovePendingTemporaries();

// True when `a` and `b` are the same file: the same device and inode where both exist
// (through links, and hard links too), the same resolved path where neither exists yet.
// One that exists and one that does not are different files.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// A path from UTF-8 text, as the console's arguments are on every platform.
std::filesystem::path PathFromUtf8(std::string_view text);

}  // namespace vesk::console
