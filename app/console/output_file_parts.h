#pragma once
// What the platform halves of output_file.cpp share.

#include <filesystem>
#include <string>

namespace vesk::console::detail {

// Where the bytes really go: a link's target, so that the link stays a link.
std::filesystem::path Destination(const std::filesystem::path& path);

// The start of every temporary name for `target`: "." and at most the first 16 bytes of
// its name, then "~"; six random characters and ".tmp" follow. Short, so that every name
// the file system takes for the target also fits its temporary.
std::string TemporaryPrefix(const std::filesystem::path& target);
inline constexpr std::size_t kTemporaryRandom = 6;
inline constexpr const char* kTemporarySuffix = ".tmp";

// True when the existing file `path` may not be written by this user, or has no write
// permission at all.
bool IsReadOnly(const std::filesystem::path& path);

// Creates and removes a temporary file in `folder`; false when that cannot be done.
bool CanCreateIn(const std::filesystem::path& folder);

}  // namespace vesk::console::detail
