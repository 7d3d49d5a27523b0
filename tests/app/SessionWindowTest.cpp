// The window with the real service to headsets on loopback: a simulated
// headset's handshake turns it to "Connected to Test Headset.", and its
// leaving turns it back to waiting.

#include <QLabel>
#include <QProcess>
#include <QTest>

#include "app/ContentView.h"
#include "app/SessionRunner.h"
#include "platform/Permissions.h"

using namespace marlinax;
using namespace marlinax::app;

namespace {

struct Granted : platform::PermissionProbe {
  bool screenRecordingGranted() override { return true; }
  bool inputGranted() override { return true; }
};

}  // namespace

class SessionWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void headsetConnectsAndLeaves();
};

void SessionWindowTest::headsetConnectsAndLeaves() {
  server::HeadsetServerOptions options;
  options.advertise = false;  // the test knows the port; no DNS-SD needed
  AppEnvironment environment;
  environment.permissions = std::make_shared<Granted>();
  environment.session = makeHeadsetSessionRunner(options);
  int quits = 0;
  environment.quit = [&] { ++quits; };
  ContentViewState state(std::move(environment));
  ContentView window(state);

  // What the window showed after each change of state.
  QStringList shown;
  connect(&state, &ContentViewState::changed, this, [&] {
    shown << (window.showsConnectedLayout() ? window.connectedLabel()->text() : QStringLiteral("waiting"));
  });
  window.show();
  QTRY_VERIFY_WITH_TIMEOUT(state.listeningPort().has_value(), 30000);
  const std::uint16_t firstPort = *state.listeningPort();

  QProcess headset;
  headset.setProcessChannelMode(QProcess::MergedChannels);
  headset.start(QStringLiteral(MARLINAX_PEER),
                {"handshake", "--host", "127.0.0.1", "--port", QString::number(firstPort), "--name", "Test Headset",
                 "--timeout", "30"});
  QVERIFY(headset.waitForStarted(30000));
  // The headset answers the handshake and leaves; the window follows.
  QTRY_VERIFY_WITH_TIMEOUT(shown.contains("Connected to Test Headset."), 60000);
  QTRY_VERIFY_WITH_TIMEOUT(headset.state() == QProcess::NotRunning, 60000);
  QVERIFY2(headset.exitCode() == 0, headset.readAll().constData());
  QTRY_VERIFY_WITH_TIMEOUT(!state.remote().has_value(), 60000);
  QVERIFY(!window.showsConnectedLayout());
  QVERIFY(window.closeButton()->isVisible());
  QCOMPARE(shown.mid(shown.indexOf("Connected to Test Headset.")).last(), QString("waiting"));

  window.close();
  QCOMPARE(quits, 1);
}

QTEST_MAIN(SessionWindowTest)
#include "SessionWindowTest.moc"
