// marlinax: the application. One window tells whether a headset is connected,
// adds the virtual display, opens help and quits; behind it runs the same
// service to headsets as marlinax-server.
//
// Lines on standard output that scripts may rely on (as marlinax-server's):
//   "Awaiting connection on port P."        each time the service listens
//   "Connected to NAME."                    a headset completed the handshake
//   "Headset disconnected; stopped N capture stream(s)."

#include <QApplication>
#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unistd.h>

#include "app/ContentView.h"
#include "app/ContentViewState.h"
#include "app/DesktopLauncher.h"
#include "app/RepeatingTimer.h"
#include "app/SessionRunner.h"
#include "app/Style.h"
#include "log/Log.h"
#include "server/DesktopServices.h"

namespace marlinax {
namespace {

void say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

constexpr const char* kUsage = "usage: marlinax [--port N] [--verbose] [--help] [--version]";

constexpr const char* kHelp = R"(Shows whether an Apple Vision Pro is connected, adds a virtual display, and
serves the headset: it advertises this computer over DNS-SD and lets the
headset show and control its displays.

Options:
  --port N     listen on TCP port N (default: any free port)
  --verbose    log debugging details on standard error
  --help       show this text
  --version    show the version

Without a desktop session, run marlinax-server instead, or scripts/run.sh,
which starts a private X server for the window.
)";

int usageError(const QString& message) {
  std::fprintf(stderr, "marlinax: %s\n%s\n", message.toUtf8().constData(), kUsage);
  return 2;
}

// Whether some display can be reached, before QApplication insists on one.
bool displayReachable() {
  return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

displays::Environment displayEnvironment(const server::DesktopServices& desktop) {
  auto environment = displays::Environment::standard(desktop.virtualDisplays, desktop.services.capture);
  // The window's own wait, which quitting cuts short.
  environment.wait = nullptr;
  return environment;
}

// SIGINT and SIGTERM end the event loop like the quit command, so the
// session ends and the virtual display is released on the way out.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void quitOnSignals(QObject* context) {
  if (::pipe(signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
    char byte = 0;
    [[maybe_unused]] ssize_t read = ::read(signalPipe[0], &byte, 1);
    QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace
}  // namespace marlinax

int main(int argc, char** argv) {
  using namespace marlinax;
  // The command line is read before any window system is touched, so --help
  // and errors work without a display.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QCommandLineParser parser;
  const QCommandLineOption portOption(QStringLiteral("port"), QString(), QStringLiteral("N"));
  const QCommandLineOption verboseOption(QStringLiteral("verbose"));
  const QCommandLineOption helpOption(QStringLiteral("help"));
  const QCommandLineOption versionOption(QStringLiteral("version"));
  parser.addOptions({portOption, verboseOption, helpOption, versionOption});
  if (!parser.parse(arguments)) return usageError(parser.errorText());
  if (parser.isSet(helpOption)) {
    std::printf("%s\n\n%s", kUsage, kHelp);
    return 0;
  }
  if (parser.isSet(versionOption)) {
    std::printf("marlinax %s\n", MARLINAX_VERSION);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty())
    return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
  server::HeadsetServerOptions options;
  if (parser.isSet(portOption)) {
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
      return usageError(QStringLiteral("--port: '%1' is not a port number (0-65535)").arg(parser.value(portOption)));
    options.port = static_cast<std::uint16_t>(port);
  }
  if (parser.isSet(verboseOption)) log::setLevel(log::Level::debug);

  if (!displayReachable()) {
    std::fprintf(stderr,
                 "marlinax: no display to open the window on (DISPLAY is not set). On a computer without a desktop "
                 "session run marlinax-server, or scripts/run.sh, which starts a private X server.\n");
    return 1;
  }
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Marlinax"));
  QApplication::setApplicationName(QStringLiteral("marlinax"));
  QApplication::setApplicationDisplayName(QStringLiteral("Marlinax Server"));
  QApplication::setApplicationVersion(QStringLiteral(MARLINAX_VERSION));
  // The installed desktop entry, which names the window's icon for the desktop.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.marlinax.Marlinax"));
  QApplication::setWindowIcon(app::applicationIcon());
  quitOnSignals(&application);

  try {
    const server::DesktopServices desktop =
        server::makeDesktopServices(std::nullopt, [](const std::string& line) { log::info(line); });
    app::AppEnvironment environment;
    environment.permissions = desktop.permissions;
    environment.session = app::makeHeadsetSessionRunner(options, desktop.services);
    environment.displays = displayEnvironment(desktop);
    environment.launcher = std::make_shared<app::SystemDesktopLauncher>();
    environment.refreshTimer = std::make_unique<app::QtRepeatingTimer>();
    environment.quit = [] { QCoreApplication::quit(); };
    app::ContentViewState state(std::move(environment));
    QObject::connect(&state, &app::ContentViewState::listening,
                     [](std::uint16_t port) { say(QStringLiteral("Awaiting connection on port %1.").arg(port)); });
    QObject::connect(&state, &app::ContentViewState::headsetConnected,
                     [](const QString& name) { say(QStringLiteral("Connected to %1.").arg(name)); });
    QObject::connect(&state, &app::ContentViewState::headsetDisconnected, [](std::size_t stopped) {
      say(QStringLiteral("Headset disconnected; stopped %1 capture stream(s).").arg(stopped));
    });
    // Ends the session and releases the virtual display on every way out,
    // a signal to the event loop included.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &state, [&state] {
      if (!state.shutDown()) state.quit();
    });

    app::ContentView window(state);
    window.show();
    return QApplication::exec();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "marlinax: %s\n", error.what());
    return 1;
  }
}
