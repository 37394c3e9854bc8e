// Output files on Windows: the temporary is written through the standard library and
// moved over the target; the history is appended to in append mode.
#include <windows.h>

#include <array>
#include <atomic>
#include <fstream>
#include <random>

#include "app/console/output_file.h"
#include "app/console/output_file_parts.h"

namespace vesk::console {
namespace {

namespace fs = std::filesystem;

struct PendingSlot {
  std::atomic<bool> claimed{false};
  std::atomic<bool> ready{false};
  fs::path path;
};
std::array<PendingSlot, 8> pending;

PendingSlot* Register(const fs::path& path) {
  for (PendingSlot& slot : pending) {
    bool expected = false;
    if (!slot.claimed.compare_exchange_strong(expected, true)) continue;
    slot.path = path;
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

fs::path TemporaryBeside(const fs::path& target) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string name = detail::TemporaryPrefix(target);
  for (std::size_t i = 0; i < detail::kTemporaryRandom; ++i)
    name += kLetters[random() % (sizeof(kLetters) - 1)];
  return target.parent_path() / (name + detail::kTemporarySuffix);
}

bool WriteTemporary(const fs::path& temporary, std::string_view bytes) {
  std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return static_cast<bool>(file);
}

}  // namespace

namespace detail {

bool IsReadOnly(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool CanCreateIn(const fs::path& folder) {
  const fs::path probe = TemporaryBeside(folder / "probe");
  const bool writable = WriteTemporary(probe, {});
  std::error_code error;
  fs::remove(probe, error);
  return writable;
}

}  // namespace detail

bool WriteFileAtomically(const fs::path& path, std::string_view bytes,
                         const std::function<void()>& beforeRename) {
  try {
    const fs::path target = detail::Destination(path);
    const fs::path temporary = TemporaryBeside(target);
    PendingSlot* slot = Register(temporary);
    std::error_code error;
    bool ok = WriteTemporary(temporary, bytes);
    if (ok && beforeRename) beforeRename();
    if (ok) {
      fs::rename(temporary, target, error);
      ok = !error;
    }
    if (!ok) fs::remove(temporary, error);
    Unregister(slot);
    return ok;
  } catch (const std::exception&) {
    return false;
  }
}

bool AppendRecord(const fs::path& path, std::string_view line) {
  std::ofstream file(detail::Destination(path), std::ios::binary | std::ios::app);
  if (!file) return false;
  file.write(line.data(), static_cast<std::streamsize>(line.size()));
  file.close();
  return static_cast<bool>(file);
}

void RemovePendingTemporaries() {
  for (PendingSlot& slot : pending)
    if (slot.ready) DeleteFileW(slot.path.c_str());
}

}  // namespace vesk::console
