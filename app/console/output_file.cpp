#include "app/console/output_file.h"

#include <fstream>
#include <random>

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

// Where the bytes really go: a link's target, so that the link stays a link.
fs::path Destination(const fs::path& path) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path, error))) {
    const fs::path target = fs::weakly_canonical(path, error);
    if (!error) return target;
  }
  return path;
}

fs::path TemporaryBeside(const fs::path& target) {
  std::random_device random;
  const auto tag = std::to_string(random()) + std::to_string(random());
  fs::path name = ".";
  name += target.filename();
  name += "." + tag + ".tmp";
  return target.parent_path() / name;
}

bool WriteTemporary(const fs::path& temporary, std::string_view bytes) {
  std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return static_cast<bool>(file);
}

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace

std::string OutputPathProblem(const fs::path& path) {
  try {
    const fs::path target = Destination(path);
    if (target.filename().empty()) return "names a folder, not a file";
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code error;
    const auto folderStatus = fs::status(folder, error);
    if (!fs::exists(folderStatus)) return "the folder " + Utf8(folder) + " does not exist";
    if (!fs::is_directory(folderStatus)) return Utf8(folder) + " is not a folder";
    const auto status = fs::status(target, error);
    if (fs::is_directory(status)) return "is a directory";
    if (fs::exists(status) && !fs::is_regular_file(status))
      return "is not a regular file (a FIFO, device or socket)";
    const fs::path probe = TemporaryBeside(target);
    const bool writable = WriteTemporary(probe, {});
    fs::remove(probe, error);
    if (!writable) return "cannot create a file in the folder " + Utf8(folder);
    return {};
  } catch (const std::exception& failure) {
    return failure.what();
  }
}

bool WriteFileAtomically(const fs::path& path, std::string_view bytes) {
  try {
    const fs::path target = Destination(path);
    const fs::path temporary = TemporaryBeside(target);
    std::error_code error;
    if (WriteTemporary(temporary, bytes)) {
      fs::rename(temporary, target, error);
      if (!error) return true;
    }
    fs::remove(temporary, error);
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

fs::path PathFromUtf8(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

}  // namespace vesk::console
