// vesk-sim-usbredir: the emulated board as a USB device on a usbredir socket (QEMU's
// usb-redir device connects to it), so that a guest kernel's host controller driver,
// usbcore, usbfs and libusb talk to our real control firmware.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/console/output_file.h"
#include "sim/usbredir/board_link.h"

namespace {

using vesk::sim::board::EmulatedBoard;
using vesk::sim::usbredir::BoardLink;
using Clock = BoardLink::WallClock;

constexpr auto kPowerCycleOffTime = std::chrono::milliseconds(500);

volatile sig_atomic_t stopSignal = 0;
void OnStopSignal(int signal) { stopSignal = signal; }

int Listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    std::fprintf(stderr, "vesk-sim-usbredir: socket path too long: %s\n", path.c_str());
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(path.c_str());
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    std::fprintf(stderr, "vesk-sim-usbredir: cannot listen on %s: %s\n", path.c_str(),
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

struct Faults {
  std::optional<double> unplugAfterSeconds;
  std::optional<double> replugAfterSeconds;
  std::optional<Clock::time_point> unplugAt, replugAt;
};

// One line of the control socket: "unplug", "plug", "power-cycle", "reset" (a port reset),
// "busy CHIP BANK on|off".
// The answer is "ok" or "error: ..." on one line.
std::string Command(const std::string& line, EmulatedBoard& board, BoardLink* link,
                    std::optional<Clock::time_point>& replugAt) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb == "busy") {
    int chip = -1, bank = -1;
    std::string state;
    words >> chip >> bank >> state;
    if (chip < 0 || chip > 1 || bank < 0 || bank > 5 || (state != "on" && state != "off"))
      return "error: busy CHIP(0-1) BANK(0-5) on|off";
    board.SetBankStuckBusy(chip, bank, state == "on");
    return "ok";
  }
  if (link == nullptr) return "error: no host is connected";
  if (verb == "unplug") {
    link->Unplug();
  } else if (verb == "plug") {
    link->PlugIn();
  } else if (verb == "reset") {
    link->BusReset();
  } else if (verb == "power-cycle") {
    // Off for a moment, as an operator's power cycle is; plugged in again by the loop.
    link->Unplug();
    replugAt = Clock::now() + kPowerCycleOffTime;
  } else {
    return "error: unknown command " + verb;
  }
  return "ok";
}

// "N" or "N:RR" (RR a request code in hex).
bool ParseRequestCount(const std::string& text, std::optional<std::uint32_t>& count,
                       std::optional<std::uint8_t>& code) {
  unsigned number = 0, request = 0;
  char colon = 0;
  std::istringstream in(text);
  const bool withCode = text.find(':') != std::string::npos;
  const bool ok = withCode ? (in >> number >> colon >> std::hex >> request) && colon == ':' &&
                                 request <= 0xFF
                           : static_cast<bool>(in >> number);
  if (!ok || !in.eof() || number == 0) return false;
  count = number;
  if (withCode) code = static_cast<std::uint8_t>(request);
  return true;
}

bool ParseBank(const std::string& text, int& chip, int& bank) {
  char colon = 0;
  std::istringstream in(text);
  return (in >> chip >> colon >> bank) && colon == ':' && in.eof() && chip >= 0 && chip <= 1 &&
         bank >= 0 && bank <= 5;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The emulated camera board as a USB device on a usbredir socket"};
  std::string socketPath, controlPath, eepromIn, eepromOut, unplugAt, hangAt, resetAt;
  std::vector<std::string> busyBanks;
  vesk::sim::usbredir::LinkOptions options;
  Faults faults;
  app.add_option("SOCKET", socketPath, "Unix socket to listen on for the one usbredir client")
      ->required();
  app.add_option("--eeprom-in", eepromIn,
                 "start with this 393,216-byte EEPROM image (chip 0 banks 0-5, then chip 1); "
                 "without it the EEPROMs start erased")
      ->option_text("FILE");
  app.add_option("--eeprom-out", eepromOut,
                 "save the EEPROM contents to FILE when the client has gone (whole or not at all)")
      ->option_text("FILE");
  app.add_flag("--fast", options.fast,
               "let the board's clock run ahead of the wall clock (default: real time)");
  app.add_option("--unplug-at-request", unplugAt,
                 "pull the cable instead of answering the N-th vendor request (N:RR counts only "
                 "requests of hex code RR)")
      ->option_text("N[:RR]");
  app.add_option("--hang-at-request", hangAt,
                 "hold the CPU just before the N-th vendor request (N:RR as above): the "
                 "firmware answers nothing from then on")
      ->option_text("N[:RR]");
  app.add_option("--reset-at-request", resetAt,
                 "reset the port 100 ms into the N-th vendor request (N:RR as above), which "
                 "fails; the board is enumerated again after it")
      ->option_text("N[:RR]");
  app.add_option("--unplug-after", faults.unplugAfterSeconds,
                 "pull the cable SECONDS after the client connected")
      ->option_text("SECONDS");
  app.add_option("--replug-after", faults.replugAfterSeconds,
                 "after an unplug, power-cycle the board and plug it in again after SECONDS")
      ->option_text("SECONDS");
  app.add_option("--busy", busyBanks,
                 "the EEPROM bank CHIP:BANK never ends its write cycle (repeatable)")
      ->option_text("CHIP:BANK");
  app.add_option("--control", controlPath,
                 "Unix socket taking commands, one a line: unplug, plug, power-cycle, reset, "
                 "busy CHIP BANK on|off")
      ->option_text("PATH");
  CLI11_PARSE(app, argc, argv);

  for (const auto& [name, text, count, code] :
       {std::tuple{"--unplug-at-request", &unplugAt, &options.unplugAtRequest, &options.unplugRequest},
        std::tuple{"--hang-at-request", &hangAt, &options.hangAtRequest, &options.hangRequest},
        std::tuple{"--reset-at-request", &resetAt, &options.resetAtRequest, &options.resetRequest}}) {
    if (!text->empty() && !ParseRequestCount(*text, *count, *code)) {
      std::fprintf(stderr, "vesk-sim-usbredir: %s %s: expected N or N:RR\n", name, text->c_str());
      return 64;
    }
  }

  auto board = std::make_unique<EmulatedBoard>();
  for (const std::string& text : busyBanks) {
    int chip = 0, bank = 0;
    if (!ParseBank(text, chip, bank)) {
      std::fprintf(stderr, "vesk-sim-usbredir: --busy %s: expected CHIP:BANK (0-1:0-5)\n",
                   text.c_str());
      return 64;
    }
    board->SetBankStuckBusy(chip, bank, true);
  }
  if (!eepromIn.empty()) {
    std::ifstream file(eepromIn, std::ios::binary);
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(file), {}};
    if (!file.good() && !file.eof()) {
      std::fprintf(stderr, "vesk-sim-usbredir: cannot read %s\n", eepromIn.c_str());
      return 65;
    }
    if (!board->LoadEepromImage(image)) {
      std::fprintf(stderr, "vesk-sim-usbredir: %s holds %zu bytes, not %zu\n", eepromIn.c_str(),
                   image.size(), std::size_t{vesk::sim::board::kEepromImageSize});
      return 65;
    }
  }
  // Powered up with what the EEPROM holds: the boot loader decides the identity.
  board->PowerCycle();
  if (!eepromOut.empty()) {
    const std::string problem = vesk::console::OutputPathProblem(eepromOut);
    if (!problem.empty()) {
      std::fprintf(stderr, "vesk-sim-usbredir: --eeprom-out %s: %s\n", eepromOut.c_str(),
                   problem.c_str());
      return 64;
    }
  }

  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int listenFd = Listen(socketPath);
  if (listenFd < 0) return 1;
  const int controlFd = controlPath.empty() ? -1 : Listen(controlPath);
  if (!controlPath.empty() && controlFd < 0) return 1;
  std::fprintf(stderr, "vesk-sim-usbredir: listening on %s, board %04X:%04X\n",
               socketPath.c_str(), board->Identity().vendorId, board->Identity().productId);

  int clientFd = -1;
  std::unique_ptr<BoardLink> link;
  std::vector<int> controlClients;
  std::vector<std::string> controlBuffers;
  int status = 0;
  bool done = false;
  while (!done && stopSignal == 0) {
    std::vector<pollfd> fds;
    fds.push_back({listenFd, POLLIN, 0});
    if (controlFd >= 0) fds.push_back({controlFd, POLLIN, 0});
    // A client accepted below joins the poll in the next round.
    std::optional<std::size_t> clientIndex;
    if (link) {
      clientIndex = fds.size();
      fds.push_back({clientFd, short(POLLIN | (link->WantsWrite() ? POLLOUT : 0)), 0});
    }
    const std::size_t firstControl = fds.size();
    for (int fd : controlClients) fds.push_back({fd, POLLIN, 0});

    std::optional<Clock::time_point> wake;
    auto earliest = [&](std::optional<Clock::time_point> at) {
      if (at && (!wake || *at < *wake)) wake = at;
    };
    if (link) earliest(link->NextDue());
    earliest(faults.unplugAt);
    earliest(faults.replugAt);
    int timeoutMs = -1;
    if (wake) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
      timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count()));
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
      std::perror("vesk-sim-usbredir: poll");
      status = 1;
      break;
    }

    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0 && link) {
        std::fprintf(stderr, "vesk-sim-usbredir: refused a second client\n");
        ::close(fd);
      } else if (fd >= 0) {
        clientFd = fd;
        link = std::make_unique<BoardLink>(*board, clientFd, options);
        if (faults.unplugAfterSeconds) {
          faults.unplugAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(*faults.unplugAfterSeconds));
        }
      }
    }
    if (controlFd >= 0 && (fds[1].revents & POLLIN)) {
      const int fd = ::accept4(controlFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        controlClients.push_back(fd);
        controlBuffers.emplace_back();
      }
    }
    for (std::size_t i = controlClients.size(); i-- > 0;) {
      if (!(fds[firstControl + i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[256];
      const ssize_t got = ::read(controlClients[i], chunk, sizeof chunk);
      if (got > 0) controlBuffers[i].append(chunk, static_cast<std::size_t>(got));
      std::size_t end;
      while ((end = controlBuffers[i].find('\n')) != std::string::npos) {
        const std::string answer = Command(controlBuffers[i].substr(0, end), *board, link.get(),
                                           faults.replugAt) + "\n";
        controlBuffers[i].erase(0, end + 1);
        if (::write(controlClients[i], answer.data(), answer.size()) < 0) break;
      }
      if (got <= 0 || controlBuffers[i].size() > 4096) {
        ::close(controlClients[i]);
        controlClients.erase(controlClients.begin() + static_cast<std::ptrdiff_t>(i));
        controlBuffers.erase(controlBuffers.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }

    if (link) {
      const bool wasPlugged = link->Plugged();
      const short events = clientIndex ? fds[*clientIndex].revents : 0;
      bool open = true;
      if (events & (POLLIN | POLLHUP | POLLERR)) open = link->OnReadable();
      const auto now = Clock::now();
      if (open && faults.unplugAt && now >= *faults.unplugAt) {
        faults.unplugAt.reset();
        link->Unplug();
      }
      if (open && faults.replugAt && now >= *faults.replugAt) {
        faults.replugAt.reset();
        link->PlugIn();
        std::fprintf(stderr, "vesk-sim-usbredir: plugged in again as %04X:%04X\n",
                     board->Identity().vendorId, board->Identity().productId);
      }
      if (open && wasPlugged && !link->Plugged() && faults.replugAfterSeconds) {
        faults.replugAt = now + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(*faults.replugAfterSeconds));
      }
      if (open) open = link->Flush();
      if (!open) {
        if (!link->PeerLeft()) {
          std::fprintf(stderr, "vesk-sim-usbredir: connection ended: %s\n",
                       link->Error().c_str());
          status = 1;
        }
        const auto& figures = link->Figures();
        std::fprintf(stderr,
                     "vesk-sim-usbredir: %u control transfers, %u vendor requests in %.3f s "
                     "(board time %.3f s, %.3f s of it in the requests), %u port resets\n",
                     figures.controlTransfers, figures.vendorRequests, figures.vendorWallSeconds,
                     figures.vendorBoardSeconds, figures.vendorTransferSeconds,
                     figures.portResets);
        done = true;
      }
    }
  }
  if (clientFd >= 0) ::close(clientFd);
  for (int fd : controlClients) ::close(fd);
  ::close(listenFd);
  ::unlink(socketPath.c_str());
  if (controlFd >= 0) {
    ::close(controlFd);
    ::unlink(controlPath.c_str());
  }
  if (!eepromOut.empty()) {
    const std::vector<std::uint8_t> image = board->SaveEepromImage();
    if (!vesk::console::WriteFileAtomically(
            eepromOut, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()))) {
      std::fprintf(stderr, "vesk-sim-usbredir: cannot write %s\n", eepromOut.c_str());
      return 1;
    }
  }
  return stopSignal != 0 ? 128 + stopSignal : status;
}
