#pragma once
// The emulated board on the device side of a usbredir connection: what a USB host
// controller's root port would see if the board were plugged into it. One connection;
// the caller owns the socket and the poll loop.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <usbredirparser.h>

#include "sim/board/emulated_board.h"

namespace vesk::sim::usbredir {

struct LinkOptions {
  // Off: the board's clock is kept from running ahead of the wall clock, so every reply
  // leaves when the board would have finished it, and the board idles (firmware running)
  // while the host is quiet. On: replies leave as soon as they are computed.
  bool fast = false;
  // The N-th vendor request (counted from 1 since the link started, of code `unplugRequest`
  // or of any code when unset) is never answered: the cable is pulled instead.
  std::optional<std::uint32_t> unplugAtRequest;
  std::optional<std::uint8_t> unplugRequest;
  // The same count for a firmware that stops: the CPU is held just before that request
  // reaches the board, which then never answers it (nor any later one).
  std::optional<std::uint32_t> hangAtRequest;
  std::optional<std::uint8_t> hangRequest;
  // The same count for a port reset: that request meets a bus reset `resetInto` after its
  // SETUP (the middle of a 4096-byte beat by default) and fails; the host then enumerates
  // the board again, as a kernel does after resetting a port.
  std::optional<std::uint32_t> resetAtRequest;
  std::optional<std::uint8_t> resetRequest;
  SimTime resetInto = 100 * kPicosPerMilli;
};

struct LinkFigures {
  std::uint32_t vendorRequests = 0;
  std::uint32_t controlTransfers = 0;
  // Port resets the board went through: the guest's (usbredir reset) and commanded ones.
  std::uint32_t portResets = 0;
  // From the first vendor request's arrival to the last vendor reply's departure.
  double vendorWallSeconds = 0;
  // The board's time over the same span (idling included), and in the requests alone.
  double vendorBoardSeconds = 0;
  double vendorTransferSeconds = 0;
};

class BoardLink {
 public:
  using WallClock = std::chrono::steady_clock;

  // `fd` is the connected socket; the link never closes it.
  BoardLink(board::EmulatedBoard& board, int fd, LinkOptions options);
  ~BoardLink();
  BoardLink(const BoardLink&) = delete;
  BoardLink& operator=(const BoardLink&) = delete;

  // Reads what the socket has and answers it. False when the peer has gone or sent a
  // message the protocol does not allow; the connection is then over.
  bool OnReadable();
  // Sends the replies that are due and whatever is queued. False on a write error.
  bool Flush();
  // When the next held reply is due (for the poll timeout), if any.
  std::optional<WallClock::time_point> NextDue() const;
  bool WantsWrite() const;

  // The cable pulled: pending transfers are dropped, as the host controller drops them for
  // a device that went away. The board is bus-powered, so it goes off as well.
  void Unplug();
  // Plugged in again: the board powers up, boots from its EEPROM and connects with the
  // identity its boot loader chose (in real time, once its boot has taken its time).
  void PlugIn();
  bool Plugged() const { return plugged_; }
  // A port reset between two transfers, the host enumerating the board again after it.
  // Transfers the board has finished keep their answers.
  void BusReset();

  const LinkFigures& Figures() const { return figures_; }
  // Why the connection is over; PeerLeft() when the peer simply closed it.
  const std::string& Error() const { return error_; }
  bool PeerLeft() const { return peerLeft_; }

 private:
  struct Reply {
    std::uint64_t id;
    std::uint8_t endpoint, request, requestType, status;
    std::uint16_t value, index, length;
    std::vector<std::uint8_t> data;
    WallClock::time_point due;
    bool held;  // the firmware never answered: only the host's cancel ends it
  };

  static BoardLink& Of(void* priv) { return *static_cast<BoardLink*>(priv); }
  static int Read(void* priv, std::uint8_t* data, int count);
  static int Write(void* priv, std::uint8_t* data, int count);
  static void Log(void* priv, int level, const char* message);
  static void Hello(void* priv, usb_redir_hello_header* hello);
  static void Reset(void* priv);
  static void SetConfiguration(void* priv, std::uint64_t id,
                               usb_redir_set_configuration_header* header);
  static void GetConfiguration(void* priv, std::uint64_t id);
  static void SetAltSetting(void* priv, std::uint64_t id,
                            usb_redir_set_alt_setting_header* header);
  static void GetAltSetting(void* priv, std::uint64_t id,
                            usb_redir_get_alt_setting_header* header);
  static void Control(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                      std::uint8_t* data, int length);
  static void Bulk(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                   std::uint8_t* data, int length);
  static void Cancel(void* priv, std::uint64_t id);
  static void Filter(void* priv, usbredirfilter_rule* rules, int count);

  void SendConnect();
  // A standard request the host controller's own messages stand for, served by the board.
  usb::TransferResult BoardRequest(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index,
                                   std::span<std::uint8_t> data);
  // What the host does after a port reset it did not get from QEMU: an address, then the
  // configuration it had chosen.
  void Reenumerate();
  void CatchUpWithWallClock();
  WallClock::time_point DueAfterBoard() const;
  void Fail(std::string message);

  board::EmulatedBoard& board_;
  int fd_;
  LinkOptions options_;
  usbredirparser* parser_;
  bool plugged_ = false;
  bool helloSeen_ = false;
  std::optional<WallClock::time_point> connectAt_;
  bool failed_ = false;
  bool peerLeft_ = false;
  std::string error_;
  std::deque<Reply> replies_;
  std::uint32_t unplugCount_ = 0, hangCount_ = 0, resetCount_ = 0;
  // Wall clock and board clock tied together: board time = wall time + offset (picoseconds).
  std::int64_t boardMinusWall_ = 0;
  std::optional<WallClock::time_point> firstVendorAt_;
  SimTime firstVendorBoardTime_ = 0;
  LinkFigures figures_;
};

}  // namespace vesk::sim::usbredir
