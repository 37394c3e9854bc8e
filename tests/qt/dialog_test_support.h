#pragma once
// Helpers for driving the dialog's modal boxes and its runs from Qt Test.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "device/camera_driver.h"

namespace vesk::testing {

struct SeenMessageBox {
  QString text;
  QString caption;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
};

// Answers the modal message boxes that open from now on, one answer each, in order, and records
// what they said. A box with no answer left is recorded and left open.
class MessageBoxAnswerer : public QObject {
 public:
  explicit MessageBoxAnswerer(std::deque<QMessageBox::StandardButton> answers)
      : answers_(std::move(answers)) {
    connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
    poll_.start(5);
  }
  const std::vector<SeenMessageBox>& Seen() const { return seen_; }

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    seen_.push_back({box->text(), box->windowTitle(), box->icon(), box->standardButtons()});
    if (answers_.empty()) return;
    const QMessageBox::StandardButton answer = answers_.front();
    answers_.pop_front();
    QTimer::singleShot(0, box, [box, answer] { box->button(answer)->click(); });
  }

  std::deque<QMessageBox::StandardButton> answers_;
  std::vector<SeenMessageBox> seen_;
  QTimer poll_;
};

// A driver that holds its caller at the next open or request until the test lets it go on. Around a
// real driver it passes everything through; without one it lists the boards it is given and opens
// none of them.
class HeldDriver : public CameraDriver {
 public:
  explicit HeldDriver(CameraDriver* inner = nullptr) : inner_(inner) {}

  void Hold() { Set(held_, true); }
  void Release() {
    Set(held_, false);
    released_.notify_all();
  }
  void SetBoards(std::vector<BoardInfo> boards) { Set(boards_, std::move(boards)); }
  bool CallerHeld() const { return Get(waiting_); }
  int Opens() const { return Get(opens_); }
  int LastOpenIndex() const { return Get(lastOpenIndex_); }

  bool OpenInterface(std::uint16_t index, NativeDeviceHandle& handle, std::string& path) override {
    WaitWhileHeld(index);
    if (inner_ != nullptr) return inner_->OpenInterface(index, handle, path);
    handle = kNullDeviceHandle;
    return false;
  }
  bool IoControl(NativeDeviceHandle handle, std::uint32_t code, std::span<const std::uint8_t> in,
                 std::span<std::uint8_t> out) override {
    WaitWhileHeld(-1);
    return inner_ != nullptr && inner_->IoControl(handle, code, in, out);
  }
  void Close(NativeDeviceHandle handle) override {
    if (inner_ != nullptr) inner_->Close(handle);
  }
  std::vector<BoardInfo> ListBoards() override {
    return inner_ != nullptr ? inner_->ListBoards() : Get(boards_);
  }

 private:
  template <typename T, typename V>
  void Set(T& field, V&& value) {
    std::lock_guard lock(mutex_);
    field = std::forward<V>(value);
  }
  template <typename T>
  T Get(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  // openIndex: the board an open asks for; -1 for a request.
  void WaitWhileHeld(int openIndex) {
    std::unique_lock lock(mutex_);
    if (openIndex >= 0) {
      ++opens_;
      lastOpenIndex_ = openIndex;
    }
    waiting_ = held_;
    released_.wait(lock, [this] { return !held_; });
    waiting_ = false;
  }

  CameraDriver* inner_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  bool waiting_ = false;
  int opens_ = 0;
  int lastOpenIndex_ = -1;
  std::vector<BoardInfo> boards_;
};

}  // namespace vesk::testing
