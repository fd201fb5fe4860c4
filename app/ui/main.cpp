// The application's entry: Qt's own options (-platform and the like), then
// ours. Without a display it runs on the offscreen platform, as a service
// does, and says so.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Startup.h"
#include "app/ui/Application.h"

namespace {

constexpr char kEnvironmentHelp[] =
    "\nEnvironment:\n"
    "  CORVANE_HOME         data folder: registry.reg, log.txt, dosdevices/\n"
    "                       (default $XDG_DATA_HOME/corvane, ~/.local/share/corvane)\n"
    "  CORVANE_TRACE=1      diagnostics on stderr\n"
    "  CORVANE_SET_CLOCK=0  never set the system clock from the receiver\n";

// True when Qt would find no screen: no display, no platform chosen.
bool Headless(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
      return false;
    }
  }
  const auto unset = [](const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0';
  };
  return unset("QT_QPA_PLATFORM") && unset("DISPLAY") && unset("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  const bool headless = Headless(argc, argv);
  if (headless) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(corvane::kAppName));
  QApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "The uplink of an RTK base station: relays a GNSS receiver's corrections to an NTRIP "
      "caster.\nQt's own options, such as -platform vnc, are taken as well."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption start(
      QStringLiteral("start"),
      QStringLiteral("Press Start once the window is up. Message boxes are then answered at "
                     "once with OK, and their text goes to log.txt and stderr."));
  parser.addOption(start);
  if (!parser.parse(QApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
    const QString error = parser.errorText().isEmpty()
                              ? QStringLiteral("unexpected argument '%1'")
                                    .arg(parser.positionalArguments().constFirst())
                              : parser.errorText();
    std::fprintf(stderr, "corvane: %s (see corvane --help)\n", qPrintable(error));
    return 2;
  }
  if (parser.isSet(help)) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    std::fputs(kEnvironmentHelp, stdout);
    return 0;
  }
  if (parser.isSet(version)) parser.showVersion();
  if (headless) std::fprintf(stderr, "corvane: no display; running on the offscreen platform\n");

  corvane::ApplicationOptions options;
  options.Start = parser.isSet(start);
  return corvane::RunApplication(application, options);
}
