// The shipped vesk-update.exe, unmodified, through the test driver: the programs' requests
// go through SetupAPI, CreateFileA and DeviceIoControl to a kernel-mode driver under
// Wine's I/O manager, and the driver carries them to the emulated board. Usage (in the
// folder with the sample images, where the boards keep their EEPROM files):
//   vesk-console-driver-test <vesk-update.exe>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/tests/board_driver/board_commands.h"
#include "app/win32/tests/expectations.h"

namespace {

using namespace vesk::windows_tests;

struct Ran {
  DWORD status = 99;
  std::string out, err;
};

std::string FileText(const std::string& path) {
  const auto bytes = FileBytes(path);
  return {bytes.begin(), bytes.end()};
}

HANDLE InheritableFile(const char* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs the program with `arguments`, its standard output and error into files.
Ran Run(const std::string& program, const std::string& arguments) {
  Ran ran;
  HANDLE in = InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = InheritableFile("console-out.txt", GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = InheritableFile("console-err.txt", GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + program + "\" " + arguments;
  if (CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     nullptr, &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0)
      GetExitCodeProcess(process.hProcess, &ran.status);
    else
      TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  ran.out = FileText("console-out.txt");
  ran.err = FileText("console-err.txt");
  return ran;
}

bool PrepareBoards(unsigned attached) {
  const bool ok = AttachErasedBoards(attached);
  Expect(ok, "the boards are prepared");
  return ok;
}

constexpr const char* kFailed = "Camera firmware update FAILED.\r\n";

bool EndsWith(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// A whole initialisation, the board listed, verified and read back; returns the steps of
// the run for the fault table.
std::vector<StepRequests> WholeRun(const std::string& program) {
  if (!PrepareBoards(1)) return {};
  const Ran run = Run(program, "--yes");
  const std::string expected =
      "USB Board Initialization Started\r\nOpening camera connection\r\n"
      "Camera connection opened successfully\r\nDownloading USB control firmware\r\n"
      "Downloading BufCon...please wait.....\r\nReading file bufcon.bin.\r\n"
      "Downloading CamCon...please wait.....\r\nReading file camcon.bin.\r\n"
      "Downloading FX2...please wait.....\r\nReading file tarsel_usb.iic.\r\n"
      "Downloading GPIF waveforms...\r\nReading file gpif_bufcon.bin.\r\n"
      "Reading file gpif_camcon.bin.\r\nReading file gpif_fifo.bin.\r\n"
      "Writing USB ROM header...\r\nClosing camera connection\r\nCamera connection closed\r\n"
      "Power cycle complete\r\nCamera firmware update SUCCESSFUL.  Update complete.\r\n";
  Expect(run.status == 0 && run.out == expected,
         "a whole run: status " + std::to_string(run.status) + ", output:\n" + run.out + run.err);
  Expect(FileBytes(BoardFile(0)) == ImagesAsWritten(),
         "the EEPROM holds the images and the header, and nothing else");
  const std::optional<std::string> log = BoardCommand(0, "log");
  Expect(log.has_value(), "the board's log");

  const Ran list = Run(program, "list");
  Expect(list.status == 0 &&
             list.out.find("\\\\?\\root#vid_04b4&pid_8613#0000#"
                           "{09e3d9a1-8e70-496c-bc1d-fc8a43cef6b5}") != std::string::npos &&
             list.out.find("#0001#") == std::string::npos,
         "list shows the one attached board's interface:\n" + list.out + list.err);
  const Ran verify = Run(program, "verify -C .");
  Expect(verify.status == 0, "verify agrees with the images:\n" + verify.out + verify.err);
  DeleteFileA("read-back.bin");
  const Ran read = Run(program, "read read-back.bin");
  Expect(read.status == 0 && FileBytes("read-back.bin") == FileBytes(BoardFile(0)),
         "read saves the whole EEPROM:\n" + read.out + read.err);
  return log ? StepsOfLoggedRun(*log) : std::vector<StepRequests>{};
}

// A request failing at each step's first and last request, a removal during CamCon and
// a board that does not answer: the step's own error line, FAILED, and the driver's
// status in the cause.
void Faults(const std::string& program, const std::vector<StepRequests>& steps) {
  Expect(steps.size() == 6 && steps[2].last > steps[2].first + 2, "the steps of the run");
  std::vector<PlantedFault> faults = RequestFaults(steps);
  faults.push_back({"silent", steps.empty() ? "" : steps[0].errorLine,
                    "timeout (DeviceIoControl: error 121"});
  for (const PlantedFault& fault : faults) {
    if (!PrepareBoards(1) || !BoardCommand(0, fault.command)) continue;
    const Ran run = Run(program, "--yes");
    Expect(run.status == 1 && EndsWith(run.out, fault.errorLine + "\r\n" + kFailed) &&
               run.err.find(fault.cause) != std::string::npos,
           fault.command + ": " + fault.errorLine + " and \"" + fault.cause +
               "\"; status " + std::to_string(run.status) + ":\n" + run.out + run.err);
  }
  // After the removal the interface is gone.
  if (steps.size() == 6 && PrepareBoards(1) &&
      BoardCommand(0, "remove " + std::to_string(steps[2].first + 2))) {
    Run(program, "--yes");
    const Ran list = Run(program, "list");
    Expect(list.out.find("#0000#") == std::string::npos,
           "a removed board is not listed:\n" + list.out);
  }
}

// With both boards attached the console writes the one --device names, or both with --all;
// with neither the run fails at the first step and exits 69 (no board attached).
void BoardChoice(const std::string& program) {
  const std::vector<std::uint8_t> written = ImagesAsWritten();
  const std::string second =
      "\\\\?\\root#vid_04b4&pid_8613#0001#{09e3d9a1-8e70-496c-bc1d-fc8a43cef6b5}";
  if (PrepareBoards(2)) {
    const Ran run = Run(program, "--yes --device \"" + second + "\"");
    Expect(run.status == 0 && FileBytes(BoardFile(1)) == written &&
               FileBytes(BoardFile(0)).empty(),
           "--device writes the second board only:\n" + run.out + run.err);
  }
  if (PrepareBoards(2)) {
    const Ran run = Run(program, "--yes --all");
    Expect(run.status == 0 && FileBytes(BoardFile(0)) == written &&
               FileBytes(BoardFile(1)) == written,
           "--all writes both boards:\n" + run.out + run.err);
  }
  if (PrepareBoards(0)) {
    const Ran run = Run(program, "--yes");
    Expect(run.status == 69 &&
               run.out == "USB Board Initialization Started\r\nOpening camera connection\r\n"
                          "Error 0x1 (Failed to connect to camera)\r\n" +
                              std::string(kFailed),
           "no board: the first step fails:\n" + run.out + run.err);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s vesk-update.exe\n", argv[0]);
    return 2;
  }
  if (BoardCommandPaths().size() != 2) {
    std::printf("FAILED: the test driver's two boards are not installed\n");
    return 1;
  }
  const std::vector<StepRequests> steps = WholeRun(argv[1]);
  Faults(argv[1], steps);
  BoardChoice(argv[1]);
  PrepareBoards(1);
  return Summary();
}
