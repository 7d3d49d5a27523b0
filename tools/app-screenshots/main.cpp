// marlinax-screenshots OUTDIR: renders the application's window in its
// waiting and connected layouts and its permissions sheet to
// OUTDIR/{waiting,connected,permissions}.png, with made-up state (a headset
// named "Apple Vision Pro", screen recording not granted) and no service to
// headsets behind it. For the README's pictures; run it on an X server.

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "app/ContentView.h"
#include "app/ContentViewState.h"
#include "app/PermissionsView.h"
#include "app/SessionRunner.h"
#include "app/Style.h"
#include "platform/Permissions.h"

namespace {

using namespace marlinax;

struct FixedPermissions : platform::PermissionProbe {
  bool screen;
  bool input;
  FixedPermissions(bool s, bool i) : screen(s), input(i) {}
  bool screenRecordingGranted() override { return screen; }
  bool inputGranted() override { return input; }
};

// Reports a connected headset, or nothing, as soon as it is started.
struct PictureSession : app::SessionRunner {
  bool connect;
  explicit PictureSession(bool c) : connect(c) {}
  void start(server::HeadsetServerEvents events) override {
    if (connect) events.connected("Apple Vision Pro", 1, 1);
  }
  void stop() override {}
};

std::unique_ptr<app::ContentViewState> makeState(bool connected, bool screenGranted) {
  app::AppEnvironment environment;
  environment.permissions = std::make_shared<FixedPermissions>(screenGranted, true);
  environment.session = std::make_shared<PictureSession>(connected);
  // Never the user's stored preference: the pictures show the sheet.
  environment.permissionsVisible =
      app::Preferences(QStringLiteral("PermissionsVisible"), false, QStringLiteral("/dev/null"));
  return std::make_unique<app::ContentViewState>(std::move(environment));
}

// Lets queued events, layouts and paints run.
void settle() {
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(QWidget& widget, const QString& path) {
  const bool ok = widget.grab().save(path, "PNG");
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toUtf8().constData());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: marlinax-screenshots OUTDIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  QApplication::setWindowIcon(app::applicationIcon());
  bool ok = true;
  {
    auto state = makeState(false, true);
    app::ContentView window(*state);
    window.show();
    settle();
    ok = save(window, out.filePath("waiting.png")) && ok;
  }
  {
    auto state = makeState(true, true);
    app::ContentView window(*state);
    window.show();
    settle();
    ok = save(window, out.filePath("connected.png")) && ok;
  }
  {
    auto state = makeState(false, false);
    app::ContentView window(*state);
    window.show();
    settle();
    ok = save(*window.permissionsSheet(), out.filePath("permissions.png")) && ok;
  }
  return ok ? 0 : 1;
}
