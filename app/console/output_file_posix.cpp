// Output files on POSIX systems: temporaries made with O_CREAT | O_EXCL under a short
// random name, held under flock while they exist, so that one whose writer was killed is
// told from one being written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "app/console/output_file.h"
#include "app/console/output_file_parts.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

// The temporaries in existence, for RemovePendingTemporaries. A slot is claimed, its path
// copied, and only then marked ready; it stops being ready before it is given back.
struct PendingSlot {
  std::atomic<bool> claimed{false};
  std::atomic<bool> ready{false};
  char path[4096] = {};
};
std::array<PendingSlot, 8> pending;

PendingSlot* Register(const std::string& path) {
  if (path.size() >= sizeof(PendingSlot::path)) return nullptr;
  for (PendingSlot& slot : pending) {
    bool expected = false;
    if (!slot.claimed.compare_exchange_strong(expected, true)) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.ready = true;
    return &slot;
  }
  return nullptr;
}

void Unregister(PendingSlot* slot) {
  if (slot == nullptr) return;
  slot->ready = false;
  slot->claimed = false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = write(fd, bytes.data(), bytes.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(done));
  }
  return true;
}

// A new temporary beside `target`, open for writing and locked; -1 when none could be made.
int CreateTemporary(const fs::path& target, std::string& path) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = detail::TemporaryPrefix(target);
    for (std::size_t i = 0; i < detail::kTemporaryRandom; ++i)
      name += kLetters[random() % (sizeof(kLetters) - 1)];
    name += detail::kTemporarySuffix;
    path = (folder / name).string();
    // 0666 less the umask, as a new file gets; an old file's mode is put on it later.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      unlink(path.c_str());
      return -1;
    }
    return fd;
  }
  return -1;
}

bool IsTemporaryName(const std::string& name, const std::string& prefix) {
  const std::string suffix = detail::kTemporarySuffix;
  return name.size() == prefix.size() + detail::kTemporaryRandom + suffix.size() &&
         name.starts_with(prefix) && name.ends_with(suffix);
}

// Temporaries of `target` that nobody holds: their writer was killed before it could
// remove them.
void RemoveAbandonedTemporaries(const fs::path& target) {
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const std::string prefix = detail::TemporaryPrefix(target);
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!IsTemporaryName(name, prefix)) continue;
    const int fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(it->path().c_str());
    close(fd);
  }
}

void SyncFolder(const fs::path& target) {
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

namespace detail {

bool IsReadOnly(const fs::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  return (status.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
}

bool CanCreateIn(const fs::path& folder) {
  std::string path;
  const int fd = CreateTemporary(folder / "probe", path);
  if (fd < 0) return false;
  unlink(path.c_str());
  close(fd);
  return true;
}

}  // namespace detail

bool WriteFileAtomically(const fs::path& path, std::string_view bytes,
                         const std::function<void()>& beforeRename) {
  try {
    const fs::path target = detail::Destination(path);
    RemoveAbandonedTemporaries(target);
    std::string temporary;
    const int fd = CreateTemporary(target, temporary);
    if (fd < 0) return false;
    PendingSlot* slot = Register(temporary);
    bool ok = WriteAll(fd, bytes);
    struct stat old {};
    if (ok && stat(target.c_str(), &old) == 0) {
      // Owner and group only where permitted; the mode always.
      [[maybe_unused]] const bool owned =
          fchown(fd, old.st_uid, old.st_gid) == 0 ||
          fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
      ok = fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && fsync(fd) == 0;
    if (ok && beforeRename) beforeRename();
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    Unregister(slot);
    close(fd);  // the lock goes only once the name is gone
    if (ok) SyncFolder(target);
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

bool AppendRecord(const fs::path& path, std::string_view line) {
  const fs::path target = detail::Destination(path);
  const int fd = open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = flock(fd, LOCK_EX) == 0;
  if (ok) {
    // Only the last byte is looked at: a history whose last line lost its line feed
    // (edited by hand) keeps that line apart from the new one.
    struct stat status {};
    char last = '\n';
    if (fstat(fd, &status) == 0 && status.st_size > 0) {
      const int reader = open(target.c_str(), O_RDONLY | O_CLOEXEC);
      if (reader >= 0) {
        if (pread(reader, &last, 1, status.st_size - 1) != 1) last = '\n';
        close(reader);
      }
    }
    std::string record;
    if (last != '\n') record += '\n';
    record += line;
    ok = WriteAll(fd, record) && fsync(fd) == 0;
  }
  close(fd);
  return ok;
}

void RemovePendingTemporaries() {
  for (PendingSlot& slot : pending)
    if (slot.ready) unlink(slot.path);
}

}  // namespace vesk::console
