#pragma once
// A control endpoint for tests: it keeps every request and answers with the scripted
// results in turn, then in full. An IN data stage carries 0xA0, 0xA1, ...

#include <deque>
#include <utility>
#include <vector>

#include "device/usb/usb_control_port.h"

namespace vesk::usb {

struct ScriptedPort : UsbControlPort {
  std::deque<TransferResult> answers;
  std::vector<std::pair<SetupPacket, std::vector<std::uint8_t>>> seen;  // and the data stage

  TransferResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data) override {
    seen.push_back({setup, {data.begin(), data.end()}});
    TransferResult answer{TransferStatus::Ok, std::uint32_t(data.size())};
    if (!answers.empty()) answer = answers.front(), answers.pop_front();
    for (std::uint32_t i = 0; i < answer.actualLength && setup.bmRequestType & 0x80; ++i)
      data[i] = std::uint8_t(0xA0 + i);
    return answer;
  }
};

}  // namespace vesk::usb
