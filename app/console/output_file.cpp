#include "app/console/output_file.h"

#include "app/console/output_file_parts.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

}  // namespace

namespace detail {

fs::path Destination(const fs::path& path) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path, error))) {
    const fs::path target = fs::weakly_canonical(path, error);
    if (!error) return target;
  }
  return path;
}

std::string TemporaryPrefix(const fs::path& target) {
  const std::string name = Utf8(target.filename());
  return "." + name.substr(0, 16) + "~";
}

}  // namespace detail

std::string OutputPathProblem(const fs::path& path) {
  try {
    const fs::path target = detail::Destination(path);
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
    if (fs::exists(status) && detail::IsReadOnly(target))
      return "is read-only; make it writable or choose another file";
    if (!detail::CanCreateIn(folder)) return "cannot create a file in the folder " + Utf8(folder);
    return {};
  } catch (const std::exception& failure) {
    return failure.what();
  }
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  const bool aExists = fs::exists(a, error), bExists = fs::exists(b, error);
  if (aExists != bExists) return false;
  if (aExists) {
    const bool same = fs::equivalent(a, b, error);
    return !error && same;
  }
  const fs::path resolvedA = fs::weakly_canonical(fs::absolute(a, error), error);
  const fs::path resolvedB = fs::weakly_canonical(fs::absolute(b, error), error);
  return resolvedA == resolvedB;
}

fs::path PathFromUtf8(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

}  // namespace vesk::console
