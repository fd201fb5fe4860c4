#include "bench/rig/Station.h"

#include "config/Settings.h"
#include "platform/RegistryStore.h"

namespace corvane::bench {

bool PrepareStation(const std::filesystem::path& home, const std::string& comDevice,
                    uint16_t casterPort) {
  Settings settings;
  settings.CasterAddress = "127.0.0.1";
  settings.Port = casterPort;
  settings.Mount = kBenchMount;
  settings.PassWord = kBenchPassword;
  settings.Interval = 5;
  settings.SerialPort = "COM3";
  settings.SerialPortRate = 115200;
  settings.GPSBoard = kBoardNovAtel;
  settings.DiffType = kDiffRtcm32;
  settings.Coordinate = kCoordinateAutonomous;
  settings.NS = 'N';
  settings.EW = 'E';
  std::error_code ec;
  std::filesystem::create_directories(home / "dosdevices", ec);
  std::filesystem::create_symlink(comDevice, home / "dosdevices" / "com3", ec);
  RegistryStore registry(home / "registry.reg");
  return !ec && SaveSettings(settings, registry);
}

std::unique_ptr<Child> StartLocalCaster(const std::filesystem::path& dir, const std::string& name,
                                        uint16_t& port) {
  auto caster = std::make_unique<Child>(
      std::vector<std::string>{(ProgramDirectory() / "corvane-caster").string(), "--port", "0",
                               "--mount", std::string(kBenchMount), "--password",
                               std::string(kBenchPassword), "--out",
                               (dir / (name + ".bin")).string()},
      std::vector<std::string>{}, dir / (name + ".out"));
  constexpr std::string_view kListening = "listening 127.0.0.1:";
  if (!caster->AwaitOutput(kListening, 5s)) return nullptr;
  const std::string output = ReadWholeFile(caster->Output());
  port =
      static_cast<uint16_t>(std::stoi(output.substr(output.find(kListening) + kListening.size())));
  return caster;
}

std::unique_ptr<Child> StartCorvane(const std::filesystem::path& home, const CorvaneRun& run) {
  std::vector<std::string> argv = {(ProgramDirectory() / "corvane").string()};
  if (run.Start) argv.emplace_back("--start");
  // Qt's runtime folder in the data folder, or Qt makes one under /tmp that stays.
  const std::filesystem::path runtime = home / "runtime";
  std::error_code ec;
  std::filesystem::create_directory(runtime, ec);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all, ec);
  return std::make_unique<Child>(
      argv,
      std::vector<std::string>{"CORVANE_HOME=" + home.string(), "CORVANE_SET_CLOCK=0",
                               "QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.string(),
                               std::string("CORVANE_TRACE=") + (run.Trace ? "1" : "0")},
      home / "corvane.out");
}

}  // namespace corvane::bench
