// The application as a process and as main runs it: ended by SIGTERM after
// its start-up lines, in the middle of StartServer's data wait, and with a
// modal window open; refused beside a running instance of the same data
// folder, and telling when its settings could not be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QGuiApplication>
#include <QTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "app/Startup.h"
#include "app/ui/Application.h"
#include "app/ui/CDlgMain.h"
#include "config/ui/CDlgConfig.h"
#include "fixtures/Files.h"
#include "fixtures/QtApp.h"
#include "fixtures/TempDir.h"
#include "platform/TerminationSignals.h"
#include "uplink/UplinkRig.h"

extern char** environ;

namespace corvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool IsStamp(std::string_view stamp) {
  const std::string_view shape = "[##/##-##:##:##] ";
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = stamp[i];
    const bool digit = c >= '0' && c <= '9';
    const bool padding = c == ' ' && (i == 1 || i == 4);  // month and day pad with spaces
    if (shape[i] == '#' ? !(digit || padding) : c != shape[i]) return false;
  }
  return true;
}

// corvane on the offscreen platform with its own data folder, clock setting
// off, and the test's environment (sanitizer options included) otherwise;
// its stdout and stderr go to `output` when given. `wrapper` runs it (a
// command and its options), when given.
pid_t SpawnApplication(const std::filesystem::path& home, std::vector<std::string> args,
                       const std::filesystem::path& output = {},
                       std::vector<std::string> wrapper = {}) {
  std::string program = std::string(CORVANE_BIN_DIR) + "/corvane";
  std::vector<std::string> env = {"CORVANE_HOME=" + home.string(), "QT_QPA_PLATFORM=offscreen",
                                  "CORVANE_SET_CLOCK=0"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (!text.starts_with("CORVANE_") && !text.starts_with("QT_QPA_PLATFORM=")) {
      env.emplace_back(text);
    }
  }
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  args.insert(args.begin(), program);
  if (!wrapper.empty()) {
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    program = wrapper.front();
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  pid_t pid = 0;
  const int result =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

// The exit status, or -1 (and the process killed) when it runs on past 20 s.
int ExitStatus(pid_t pid) {
  const auto deadline = Clock::now() + 20s;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(20ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool AwaitLogText(const std::filesystem::path& home, std::string_view text,
                  Clock::duration within = 60s) {
  const auto deadline = Clock::now() + within;
  while (testing::ReadFileBytes(home / "log.txt").find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// SIGTERM, then the exit status and how long the exit took.
std::pair<int, Clock::duration> Terminate(pid_t pid) {
  const auto signalled = Clock::now();
  if (::kill(pid, SIGTERM) != 0) return {-1, {}};
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return {-1, {}};
  return {WEXITSTATUS(status), Clock::now() - signalled};
}

TEST(AppProcessTest, RunsAloneOnItsFolderTellsWhyItsSettingsWereNotLoadedAndEndsOnSigterm) {
  testing::TempDir home;
  const auto registry = home.path() / "registry.reg";
  std::filesystem::create_directory(registry);  // there, but not readable
  const pid_t pid = SpawnApplication(home.path(), {}, home.path() / "stderr.txt");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitLogText(home.path(), "System Init."));
  const pid_t second = SpawnApplication(home.path(), {}, home.path() / "second.txt");
  ASSERT_GT(second, 0);
  EXPECT_EQ(ExitStatus(second), 1);
  EXPECT_NE(testing::ReadFileBytes(home.path() / "second.txt")
                .find("Corvane is already running with data folder " + home.path().string() + "\n"),
            std::string::npos);
  EXPECT_EQ(Terminate(pid).first, 0);

  // Each line: a "[MM/DD-hh:mm:ss] " stamp, the text, CR LF.
  const std::string text = testing::ReadFileBytes(home.path() / "log.txt");
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < text.size();) {
    const size_t stop = text.find("\r\n", begin);
    ASSERT_NE(stop, std::string::npos) << text;
    const std::string line = text.substr(begin, stop - begin);
    ASSERT_GE(line.size(), 17u) << line;
    EXPECT_TRUE(IsStamp(line.substr(0, 17))) << line;
    lines.push_back(line.substr(17));
    begin = stop + 2;
  }
  const std::string problem = "Settings file " + registry.string() +
                              " cannot be read (not a regular file): running with defaults, and "
                              "Save will not replace it";
  EXPECT_EQ(lines,
            (std::vector<std::string>{"Corvane V2.5", kAttributionLine, "System Init.", problem}));
  EXPECT_NE(testing::ReadFileBytes(home.path() / "stderr.txt").find("corvane: " + problem + "\n"),
            std::string::npos);
}

TEST(AppProcessTest, CommandLine) {
  testing::TempDir home;
  const auto output = home.path() / "output.txt";
  struct Row {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;
  };
  for (const Row& row :
       {Row{{"--bogus"}, 2, {"corvane: Unknown option 'bogus'."}},
        Row{{"extra"}, 2, {"corvane: unexpected argument 'extra'"}},
        Row{{"--help"}, 0, {"--start", "CORVANE_HOME", "CORVANE_TRACE", "CORVANE_SET_CLOCK=0"}},
        Row{{"--version"}, 0, {"Corvane 2.5"}}}) {
    const pid_t pid = SpawnApplication(home.path(), row.args, output);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ExitStatus(pid), row.status) << row.args[0];
    for (const std::string& text : row.says) {
      EXPECT_NE(testing::ReadFileBytes(output).find(text), std::string::npos)
          << testing::ReadFileBytes(output);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(home.path() / "log.txt"));  // no window was made
}

// A Trimble-type receiver on COM3 that gives its position but never a
// correction byte, and settings for it and a caster on 127.0.0.1.
struct SilentStation {
  SilentStation() {
    Settings settings;
    settings.SerialPort = "COM3";
    settings.SerialPortRate = 115200;
    settings.GPSBoard = kBoardTrimble;
    settings.DiffType = kDiffRtcm32;
    settings.CasterAddress = "127.0.0.1";
    settings.Port = 9;
    RegistryStore registry(home.path() / "registry.reg");
    saved = SaveSettings(settings, registry) && !sim.ReadLine().empty();
  }
  testing::TempDir home;
  testing::ChildProcess sim{{CORVANE_BIN_DIR "/corvane-gnss-sim", "--type", "trimble", "--link",
                             (home.path() / "dosdevices" / "com3").string(), "--send-bytes", "0"}};
  bool saved = false;
};

TEST(AppProcessTest, UnattendedWithoutARouteTheBoxAnswersItselfAndTheRunGoesOn) {
  SilentStation station;
  ASSERT_TRUE(station.saved);
  const auto& home = station.home.path();
  // In a network namespace of its own nothing is routed, loopback neither.
  const pid_t pid = SpawnApplication(home, {"--start"}, home / "output.txt",
                                     {"/usr/bin/unshare", "--map-root-user", "--net"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(AwaitLogText(home, "Please check the Network!", 120s))  // after the 60 s wait
      << testing::ReadFileBytes(home / "log.txt") << testing::ReadFileBytes(home / "output.txt");
  const std::string box = R"(Message box "Prompt": Please check your Network! (answered OK))";
  const std::string log = testing::ReadFileBytes(home / "log.txt");
  EXPECT_LT(log.find(box), log.find("Please check the Network!"));
  EXPECT_NE(testing::ReadFileBytes(home / "output.txt").find("corvane: " + box), std::string::npos);
  std::this_thread::sleep_for(1s);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0);  // still running, idle
  EXPECT_EQ(Terminate(pid).first, 0);
}

TEST(AppProcessTest, SigtermDuringTheDataWaitEndsItAtOnce) {
  SilentStation station;
  ASSERT_TRUE(station.saved);
  const auto& home = station.home;
  const pid_t pid = SpawnApplication(home.path(), {"--start"});
  ASSERT_GT(pid, 0);
  // The line stands just before the 2 s sleep of the first pass: the signal
  // comes at its start, and the sleep must end at once, not when it is over.
  ASSERT_TRUE(AwaitLogText(home.path(), "Init DiffType Data 1 Times"));
  const auto [status, took] = Terminate(pid);
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  // Nothing more happened: no further pass, no give-up line.
  const std::string log = testing::ReadFileBytes(home.path() / "log.txt");
  EXPECT_TRUE(log.ends_with("Init DiffType Data 1 Times\r\n\r\n")) << log;
}

// The main window of the application that runs in this process.
CDlgMain* MainWindow() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (auto* main = qobject_cast<CDlgMain*>(window)) return main;
  return nullptr;
}

void Click(const QWidget* window, int id) {
  if (auto* button = FindControl<QPushButton>(window, id)) button->click();
}

TEST(AppProcessTest, SigtermEndsTheApplicationWhateverModalWindowIsOpen) {
  testing::EnsureQtApp();
  TerminationSignalFd();  // SIGTERM is the application's from now on
  // Each row opens modal windows one over the other, the last click from
  // inside the one before: the Config dialog; the Option dialog over it.
  // (Message boxes are answered at once on this screenless platform.)
  using Opening = std::vector<std::function<void()>>;
  const std::vector<std::pair<Opening, const char*>> rows = {
      {{[] { Click(MainWindow(), kIdcOption); }}, "corvane::CDlgConfig"},
      {{[] { Click(MainWindow(), kIdcOption); },
        [] { Click(QApplication::activeModalWidget(), CDlgConfig::kIdSetup); }},
       "corvane::CDlgOption"}};
  for (const auto& [opening, modal] : rows) {
    testing::TempDir home;
    ::setenv("CORVANE_HOME", home.path().c_str(), 1);
    std::string open;
    Clock::time_point signalled;
    // Each step runs once the window before it is up, inside its loop.
    std::function<void(size_t)> step = [&](size_t index) {
      QTimer::singleShot(100ms, [&, index] {
        if (index == opening.size()) {
          const QWidget* modal = QApplication::activeModalWidget();
          open = modal != nullptr ? modal->metaObject()->className() : "none";
          signalled = Clock::now();
          ::raise(SIGTERM);
          return;
        }
        step(index + 1);
        opening[index]();
      });
    };
    step(0);
    // Should the signal leave a window open, the row fails instead of hanging.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
      for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible())
          dialog->reject();
    });
    watchdog.start(5s);
    const int status = RunApplication(testing::EnsureQtApp(), {});
    const auto took = Clock::now() - signalled;
    ::unsetenv("CORVANE_HOME");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(open, modal);
    EXPECT_LT(took, 2s) << modal;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << modal;
  }
}

// Counts the paint events that reach any widget.
class PaintCounter : public QObject {
 public:
  int Paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

TEST(AppProcessTest, TheWindowIsNeverPaintedWhereNobodySeesIt) {
  testing::EnsureQtApp();
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("offscreen"));
  TerminationSignalFd();
  testing::TempDir home;
  ::setenv("CORVANE_HOME", home.path().c_str(), 1);
  PaintCounter counter;
  int paints = -1;
  // Once the window is up: what the supervision tick shows each second while
  // relaying, and an event line.
  QTimer::singleShot(300ms, [&] {
    QApplication::instance()->installEventFilter(&counter);
    MainWindow()->ShowTransfer({"281.00B/s", "5.45 KB", 42, 2248});
    MainWindow()->ShowLogLine(u"Start Ntrip Server thread!");
    QTimer::singleShot(300ms, [&] {
      paints = counter.Paints;
      MainWindow()->EndApplication();
    });
  });
  const int status = RunApplication(testing::EnsureQtApp(), {});
  QApplication::instance()->removeEventFilter(&counter);
  ::unsetenv("CORVANE_HOME");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(paints, 0);
}

}  // namespace
}  // namespace corvane
