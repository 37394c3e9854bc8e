#pragma once
// A control endpoint that records every request and answers as the test says.

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "device/usb/usb_control_port.h"

namespace vesk::testing {

class ScriptedPort : public usb::UsbControlPort {
 public:
  struct Request {
    usb::SetupPacket setup;
    std::vector<std::uint8_t> data;  // host to device: what arrived
  };

  // The next answers, in order; once they are used up every request succeeds in full.
  void Answer(usb::TransferStatus status, std::vector<std::uint8_t> reply = {}) {
    std::lock_guard lock(mutex_);
    answers_.push_back({status, std::move(reply)});
  }

  std::vector<Request> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  usb::TransferResult ControlTransfer(const usb::SetupPacket& setup,
                                      std::span<std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    requests_.push_back({setup, toHost ? std::vector<std::uint8_t>{}
                                       : std::vector<std::uint8_t>(data.begin(), data.end())});
    if (answers_.empty()) return {usb::TransferStatus::Ok, std::uint32_t(data.size())};
    Scripted answer = std::move(answers_.front());
    answers_.pop_front();
    std::uint32_t length = std::uint32_t(data.size());
    if (toHost && answer.status == usb::TransferStatus::Ok) {
      length = std::uint32_t(std::min(answer.reply.size(), data.size()));
      std::copy_n(answer.reply.begin(), length, data.begin());
    }
    return {answer.status, answer.status == usb::TransferStatus::Ok ? length : 0};
  }

 private:
  struct Scripted {
    usb::TransferStatus status;
    std::vector<std::uint8_t> reply;
  };
  mutable std::mutex mutex_;
  std::deque<Scripted> answers_;
  std::vector<Request> requests_;
};

}  // namespace vesk::testing
