#include "sim/usbredir/board_link.h"

#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fx2/generated/fx2_register_map.h"

namespace vesk::sim::usbredir {
namespace {

constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::uint8_t kSetAddress = 5, kSetConfiguration = 9, kGetConfiguration = 8;
constexpr std::uint8_t kSetInterface = 11, kGetInterface = 10;
// Idle time the board is run through in one go when the host was quiet; a longer pause
// ties the two clocks together anew instead of replaying it.
constexpr SimTime kLongestIdleRun = 2000 * kPicosPerMilli;
// QEMU's index of an endpoint address in the ep_info arrays.
constexpr int EndpointIndex(std::uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

std::uint8_t RedirStatus(usb::TransferStatus status) {
  switch (status) {
    case usb::TransferStatus::Ok:
      return usb_redir_success;
    case usb::TransferStatus::Stall:
      return usb_redir_stall;
    case usb::TransferStatus::Timeout:
      return usb_redir_timeout;
    default:
      return usb_redir_ioerror;
  }
}

// Whether this request is the chosen N-th one (of code `code`, or of any code).
bool Counts(const std::optional<std::uint32_t>& at, const std::optional<std::uint8_t>& code,
            std::uint8_t request, std::uint32_t& count) {
  if (!at || (code && *code != request)) return false;
  return ++count == *at;
}

std::int64_t WallPicos(BoardLink::WallClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count() * 1000;
}

}  // namespace

BoardLink::BoardLink(board::EmulatedBoard& board, int fd, LinkOptions options)
    : board_(board), fd_(fd), options_(options), parser_(usbredirparser_create()) {
  if (parser_ == nullptr) {
    failed_ = true;
    error_ = "usbredirparser_create failed";
    return;
  }
  parser_->priv = this;
  parser_->log_func = Log;
  parser_->read_func = Read;
  parser_->write_func = Write;
  parser_->hello_func = Hello;
  parser_->reset_func = Reset;
  parser_->set_configuration_func = SetConfiguration;
  parser_->get_configuration_func = GetConfiguration;
  parser_->set_alt_setting_func = SetAltSetting;
  parser_->get_alt_setting_func = GetAltSetting;
  parser_->control_packet_func = Control;
  parser_->bulk_packet_func = Bulk;
  parser_->cancel_data_packet_func = Cancel;
  parser_->filter_filter_func = Filter;
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                  usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
    usbredirparser_caps_set_cap(caps, cap);
  }
  usbredirparser_init(parser_, "vesk-sim-usbredir", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
  plugged_ = true;  // connected once the peer's hello has come
  boardMinusWall_ = static_cast<std::int64_t>(board_.Now()) - WallPicos(WallClock::now());
}

BoardLink::~BoardLink() {
  if (parser_ != nullptr) usbredirparser_destroy(parser_);
}

void BoardLink::Fail(std::string message) {
  if (!failed_) error_ = std::move(message);
  failed_ = true;
}

int BoardLink::Read(void* priv, std::uint8_t* data, int count) {
  BoardLink& link = Of(priv);
  const ssize_t got = ::recv(link.fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  link.peerLeft_ = got == 0 && !link.failed_;
  link.Fail(got == 0 ? "the peer closed the connection" : std::string("recv: ") + std::strerror(errno));
  return -1;
}

int BoardLink::Write(void* priv, std::uint8_t* data, int count) {
  BoardLink& link = Of(priv);
  const ssize_t sent =
      ::send(link.fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  link.Fail(std::string("send: ") + std::strerror(errno));
  return -1;
}

void BoardLink::Log(void* priv, int level, const char* message) {
  if (level > usbredirparser_warning) return;
  std::fprintf(stderr, "vesk-sim-usbredir: usbredir: %s\n", message);
  // The parser reports a message it cannot accept as an error and skips it; we end the
  // connection instead of guessing what the peer meant.
  if (level == usbredirparser_error) Of(priv).Fail(std::string("usbredir: ") + message);
}

bool BoardLink::OnReadable() {
  if (failed_) return false;
  const int result = usbredirparser_do_read(parser_);
  if (result == usbredirparser_read_parse_error) Fail("malformed usbredir message");
  if (result != 0) Fail("usbredir read failed");
  return !failed_;
}

bool BoardLink::Flush() {
  if (failed_) return false;
  const auto now = WallClock::now();
  if (connectAt_ && *connectAt_ <= now && helloSeen_) {
    connectAt_.reset();
    SendConnect();
  }
  while (!replies_.empty() && !replies_.front().held && replies_.front().due <= now) {
    Reply& reply = replies_.front();
    usb_redir_control_packet_header header{reply.endpoint, reply.request, reply.requestType,
                                           reply.status,   reply.value,   reply.index,
                                           reply.length};
    const bool in = (reply.endpoint & 0x80) != 0;
    usbredirparser_send_control_packet(parser_, reply.id, &header,
                                       in && !reply.data.empty() ? reply.data.data() : nullptr,
                                       in ? static_cast<int>(reply.data.size()) : 0);
    if ((reply.requestType & kTypeMask) == kTypeVendor && firstVendorAt_) {
      figures_.vendorWallSeconds =
          std::chrono::duration<double>(now - *firstVendorAt_).count();
    }
    replies_.pop_front();
  }
  while (usbredirparser_has_data_to_write(parser_) > 0) {
    if (usbredirparser_do_write(parser_) != 0) {
      Fail("usbredir write failed");
      return false;
    }
    if (usbredirparser_has_data_to_write(parser_) > 0) break;  // the socket is full: poll
  }
  return !failed_;
}

bool BoardLink::WantsWrite() const { return usbredirparser_has_data_to_write(parser_) > 0; }

std::optional<BoardLink::WallClock::time_point> BoardLink::NextDue() const {
  std::optional<WallClock::time_point> due = connectAt_;
  for (const Reply& reply : replies_) {
    if (reply.held) continue;
    if (!due || reply.due < *due) due = reply.due;
    break;
  }
  return due;
}

void BoardLink::SendConnect() {
  // Both of the board's faces (the bare chip, our control firmware) have one vendor-specific
  // interface and no endpoint besides endpoint 0.
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface_class[0] = 0xFF;
  interfaces.interface_subclass[0] = 0xFF;
  interfaces.interface_protocol[0] = 0xFF;
  usb_redir_ep_info_header endpoints{};
  std::fill(std::begin(endpoints.type), std::end(endpoints.type), usb_redir_type_invalid);
  for (std::uint8_t address : {std::uint8_t{0x00}, std::uint8_t{0x80}}) {
    endpoints.type[EndpointIndex(address)] = usb_redir_type_control;
    endpoints.max_packet_size[EndpointIndex(address)] = 64;
  }
  const board::UsbIdentity& identity = board_.Identity();
  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_high;
  connect.device_class = 0xFF;
  connect.device_subclass = 0xFF;
  connect.device_protocol = 0xFF;
  connect.vendor_id = identity.vendorId;
  connect.product_id = identity.productId;
  connect.device_version_bcd = identity.deviceId;
  usbredirparser_send_interface_info(parser_, &interfaces);
  usbredirparser_send_ep_info(parser_, &endpoints);
  usbredirparser_send_device_connect(parser_, &connect);
}

void BoardLink::Hello(void* priv, usb_redir_hello_header* /*hello*/) {
  BoardLink& link = Of(priv);
  link.helloSeen_ = true;
  if (link.plugged_ && !link.connectAt_) link.SendConnect();
}

void BoardLink::Unplug() {
  if (!plugged_) return;
  plugged_ = false;
  connectAt_.reset();
  replies_.clear();
  if (helloSeen_) usbredirparser_send_device_disconnect(parser_);
}

void BoardLink::PlugIn() {
  if (plugged_) return;
  const SimTime bootTime = board_.PowerCycle().duration;
  const SimTime boot = options_.fast ? 0 : bootTime;
  const auto now = WallClock::now();
  // The board's clock has run through its boot already: the wall clock catches up first.
  boardMinusWall_ = static_cast<std::int64_t>(board_.Now() - boot) - WallPicos(now);
  plugged_ = true;
  connectAt_ = now + std::chrono::nanoseconds(boot / 1000);
}

void BoardLink::Reset(void* priv) {
  // A port reset from the guest (its enumeration, its error recovery, USBDEVFS_RESET): the
  // board sees it as on a real port. QEMU answers the SET_ADDRESS that follows itself, so
  // the board gets its address here; the configuration comes as its own message.
  BoardLink& link = Of(priv);
  if (!link.plugged_) return;
  link.CatchUpWithWallClock();
  link.board_.BusReset();
  ++link.figures_.portResets;
  link.BoardRequest(0x00, kSetAddress, board::kEnumeratedAddress, 0, {});
}

void BoardLink::BusReset() {
  if (!plugged_) return;
  CatchUpWithWallClock();
  board_.BusReset();
  ++figures_.portResets;
  Reenumerate();
}

void BoardLink::Reenumerate() {
  BoardRequest(0x00, kSetAddress, board::kEnumeratedAddress, 0, {});
  BoardRequest(0x00, kSetConfiguration, 1, 0, {});
}

usb::TransferResult BoardLink::BoardRequest(std::uint8_t requestType, std::uint8_t request,
                                            std::uint16_t value, std::uint16_t index,
                                            std::span<std::uint8_t> data) {
  CatchUpWithWallClock();
  ++figures_.controlTransfers;
  return board_.ControlTransfer(
      {requestType, request, value, index, static_cast<std::uint16_t>(data.size())}, data);
}

void BoardLink::SetConfiguration(void* priv, std::uint64_t id,
                                 usb_redir_set_configuration_header* header) {
  BoardLink& link = Of(priv);
  const auto result = link.BoardRequest(0x00, kSetConfiguration, header->configuration, 0, {});
  usb_redir_configuration_status_header status{RedirStatus(result.status), header->configuration};
  usbredirparser_send_configuration_status(link.parser_, id, &status);
}

void BoardLink::GetConfiguration(void* priv, std::uint64_t id) {
  BoardLink& link = Of(priv);
  std::uint8_t configuration = 0;
  const auto result =
      link.BoardRequest(0x80, kGetConfiguration, 0, 0, std::span(&configuration, 1));
  usb_redir_configuration_status_header status{RedirStatus(result.status), configuration};
  usbredirparser_send_configuration_status(link.parser_, id, &status);
}

void BoardLink::SetAltSetting(void* priv, std::uint64_t id,
                              usb_redir_set_alt_setting_header* header) {
  BoardLink& link = Of(priv);
  const auto result = link.BoardRequest(0x01, kSetInterface, header->alt, header->interface, {});
  usb_redir_alt_setting_status_header status{RedirStatus(result.status), header->interface,
                                             header->alt};
  usbredirparser_send_alt_setting_status(link.parser_, id, &status);
}

void BoardLink::GetAltSetting(void* priv, std::uint64_t id,
                              usb_redir_get_alt_setting_header* header) {
  BoardLink& link = Of(priv);
  std::uint8_t alt = 0;
  const auto result = link.BoardRequest(0x81, kGetInterface, 0, header->interface, std::span(&alt, 1));
  usb_redir_alt_setting_status_header status{RedirStatus(result.status), header->interface, alt};
  usbredirparser_send_alt_setting_status(link.parser_, id, &status);
}

void BoardLink::CatchUpWithWallClock() {
  if (options_.fast) return;
  const std::int64_t target = WallPicos(WallClock::now()) + boardMinusWall_;
  const auto now = static_cast<std::int64_t>(board_.Now());
  if (target <= now) return;
  const auto idle = static_cast<SimTime>(target - now);
  board_.RunFor(std::min(idle, kLongestIdleRun));
  if (idle > kLongestIdleRun) {
    boardMinusWall_ = static_cast<std::int64_t>(board_.Now()) - WallPicos(WallClock::now());
  }
}

BoardLink::WallClock::time_point BoardLink::DueAfterBoard() const {
  const auto now = WallClock::now();
  if (options_.fast) return now;
  const std::int64_t ahead =
      static_cast<std::int64_t>(board_.Now()) - (WallPicos(now) + boardMinusWall_);
  if (ahead <= 0) return now;
  return now + std::chrono::nanoseconds(ahead / 1000);
}

void BoardLink::Control(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                        std::uint8_t* data, int length) {
  BoardLink& link = Of(priv);
  const bool in = (header->endpoint & 0x80) != 0;
  Reply reply{id, header->endpoint, header->request, header->requesttype, usb_redir_ioerror,
              header->value, header->index, 0, {}, {}, false};
  const bool vendor = (header->requesttype & kTypeMask) == kTypeVendor;
  // An OUT transfer brings exactly its wLength bytes; anything else is not a transfer a
  // host controller could have carried.
  const bool wellFormed = in ? length == 0 : length == header->length;
  if (!link.plugged_) {
    // The device is gone: nothing answers (the host already sees it detached).
  } else if (!wellFormed) {
    link.Fail("control packet of " + std::to_string(length) + " data bytes for wLength " +
              std::to_string(header->length));
  } else if (vendor && Counts(link.options_.unplugAtRequest, link.options_.unplugRequest,
                               header->request, link.unplugCount_)) {
    std::fprintf(stderr, "vesk-sim-usbredir: unplugged at request %02X %02X %04X %04X %u\n",
                 header->requesttype, header->request, header->value, header->index,
                 header->length);
    link.Unplug();
  } else {
    if (vendor && Counts(link.options_.hangAtRequest, link.options_.hangRequest, header->request,
                         link.hangCount_)) {
      std::fprintf(stderr, "vesk-sim-usbredir: the firmware stops at request %02X %02X %04X\n",
                   header->requesttype, header->request, header->value);
      link.board_.bus().WriteXdata(fx2::CPUCS, fx2::CPUCS_8051RES);
    }
    const bool reset = vendor && Counts(link.options_.resetAtRequest, link.options_.resetRequest,
                                        header->request, link.resetCount_);
    if (reset) {
      std::fprintf(stderr, "vesk-sim-usbredir: bus reset in request %02X %02X %04X %04X %u\n",
                   header->requesttype, header->request, header->value, header->index,
                   header->length);
      link.board_.InterruptNextTransfer({board::HostEvent::BusReset, board::HostEventPoint::AtTime,
                                         0, link.options_.resetInto});
    }
    link.CatchUpWithWallClock();
    if (vendor) {
      ++link.figures_.vendorRequests;
      if (!link.firstVendorAt_) {
        link.firstVendorAt_ = WallClock::now();
        link.firstVendorBoardTime_ = link.board_.Now();
      }
    }
    std::vector<std::uint8_t> buffer(header->length);
    if (!in && length > 0) std::memcpy(buffer.data(), data, buffer.size());
    const SimTime startedAt = link.board_.Now();
    const auto result = link.BoardRequest(header->requesttype, header->request, header->value,
                                          header->index, buffer);
    if (vendor) {
      link.figures_.vendorTransferSeconds +=
          double(link.board_.Now() - startedAt) / double(kPicosPerMilli * 1000);
      link.figures_.vendorBoardSeconds =
          double(link.board_.Now() - link.firstVendorBoardTime_) / double(kPicosPerMilli * 1000);
    }
    if (reset) {
      ++link.figures_.portResets;
      link.Reenumerate();
    }
    reply.status = RedirStatus(result.status);
    reply.length = static_cast<std::uint16_t>(result.actualLength);
    if (in) buffer.resize(result.actualLength);
    if (in) reply.data = std::move(buffer);
    // A transfer the firmware never finished is NAKed for ever on a real bus: only the
    // host's own timeout, which cancels it, ends it.
    reply.held = result.status == usb::TransferStatus::Timeout;
    reply.due = link.DueAfterBoard();
    if (!link.replies_.empty()) reply.due = std::max(reply.due, link.replies_.back().due);
    link.replies_.push_back(std::move(reply));
  }
  if (data != nullptr) usbredirparser_free_packet_data(link.parser_, data);
}

void BoardLink::Bulk(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* header,
                     std::uint8_t* data, int /*length*/) {
  BoardLink& link = Of(priv);
  // The board has no bulk endpoint: a host that sends to one gets a stall.
  usb_redir_bulk_packet_header reply = *header;
  reply.status = usb_redir_stall;
  reply.length = 0;
  reply.length_high = 0;
  usbredirparser_send_bulk_packet(link.parser_, id, &reply, nullptr, 0);
  if (data != nullptr) usbredirparser_free_packet_data(link.parser_, data);
}

void BoardLink::Cancel(void* priv, std::uint64_t id) {
  BoardLink& link = Of(priv);
  auto found = std::find_if(link.replies_.begin(), link.replies_.end(),
                            [id](const Reply& reply) { return reply.id == id; });
  if (found == link.replies_.end()) return;  // already answered
  Reply& reply = *found;
  usb_redir_control_packet_header header{reply.endpoint, reply.request, reply.requestType,
                                         usb_redir_cancelled, reply.value, reply.index, 0};
  usbredirparser_send_control_packet(link.parser_, id, &header, nullptr, 0);
  link.replies_.erase(found);
}

void BoardLink::Filter(void* /*priv*/, usbredirfilter_rule* rules, int /*count*/) {
  std::free(rules);  // ours to free; the board is offered whatever the peer filters
}

}  // namespace vesk::sim::usbredir
