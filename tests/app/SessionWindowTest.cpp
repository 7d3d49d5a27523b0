// The window with the real service to headsets on loopback: a simulated
// headset's handshake turns it to "Connected to Test Headset.", and its
// leaving turns it back to waiting. And the program's command line.

#include <QLabel>
#include <QProcess>
#include <QTest>

#include "AppFakes.h"
#include "app/ContentView.h"
#include "app/SessionRunner.h"

using namespace marlinax;
using namespace marlinax::app;

class SessionWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void headsetConnectsAndLeaves() {
    server::HeadsetServerOptions options;
    options.advertise = false;  // the test knows the port; no DNS-SD needed
    AppEnvironment environment;
    auto granted = std::make_shared<app::testing::FakePermissions>();
    granted->screen = granted->input = true;
    environment.permissions = granted;
    // Only the handshake matters here: no capture or input.
    environment.session = makeHeadsetSessionRunner(options, server::Services{});
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
    QCOMPARE(shown.mid(shown.indexOf("Connected to Test Headset.")).last(), QString("waiting"));

    window.close();
    QCOMPARE(quits, 1);
  }

  void commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("firstLine");  // of standard output, or of standard error on failure
    QTest::newRow("help") << QStringList{"--help"} << 0
                          << "usage: marlinax [--port N] [--verbose] [--help] [--version]";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "marlinax " MARLINAX_VERSION;
    QTest::newRow("port too large") << QStringList{"--port", "65536"} << 2
                                    << "marlinax: --port: '65536' is not a port number (0-65535)";
    QTest::newRow("port not a number") << QStringList{"--port", "http"} << 2
                                       << "marlinax: --port: 'http' is not a port number (0-65535)";
    QTest::newRow("port without value") << QStringList{"--port"} << 2 << "marlinax: Missing value after '--port'.";
    QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << "marlinax: Unknown option 'colour'.";
    QTest::newRow("stray word") << QStringList{"now"} << 2 << "marlinax: unexpected argument 'now'";
    QTest::newRow("no display") << QStringList{} << 1 << "marlinax: no display to open the window on";
  }

  void commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, firstLine);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(MARLINAX_APP), arguments);
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), exitCode);
    const QByteArray out = exitCode == 0 ? program.readAllStandardOutput() : program.readAllStandardError();
    const QStringList lines = QString::fromUtf8(out).split('\n');
    QVERIFY2(lines.first().startsWith(firstLine), qPrintable(lines.first()));
    if (exitCode == 2)  // an error names the option, then shows the usage line
      QCOMPARE(lines.value(1), QString("usage: marlinax [--port N] [--verbose] [--help] [--version]"));
  }
};

QTEST_MAIN(SessionWindowTest)
#include "SessionWindowTest.moc"
