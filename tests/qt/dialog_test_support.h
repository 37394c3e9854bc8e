#pragma once
// Helpers for driving the dialog's modal boxes and its runs from Qt Test.

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <functional>
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

// Answers the modal message boxes that open from now on, one answer each, in order,
// and records what they said.
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

// A driver that finds no camera; the open can be held until the test lets it go on.
class NoCameraDriver : public CameraDriver {
 public:
  void HoldOpens() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void ReleaseOpens() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    released_.notify_all();
  }
  int Opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
  }

  bool OpenInterface(std::uint16_t, NativeDeviceHandle& handle, std::string&) override {
    std::unique_lock lock(mutex_);
    ++opens_;
    released_.wait(lock, [this] { return !held_; });
    handle = kNullDeviceHandle;
    return false;
  }
  bool IoControl(NativeDeviceHandle, std::uint32_t, std::span<const std::uint8_t>,
                 std::span<std::uint8_t>) override {
    return false;
  }
  void Close(NativeDeviceHandle) override {}

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  int opens_ = 0;
};

}  // namespace vesk::testing
