// The window and its state on the offscreen platform, with fakes for the
// desktop, the service to headsets and the virtual-display environment.

#include "app/ContentView.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include "AppFakes.h"
#include "app/PermissionsView.h"

using namespace marlinax;
using namespace marlinax::app;
using namespace marlinax::app::testing;

namespace {

QStringList visibleLabelTexts(const QWidget& window) {
  QStringList texts;
  for (const QLabel* label : window.findChildren<QLabel*>())
    if (label->isVisibleTo(&window) && !label->text().isEmpty()) texts << label->text();
  return texts;
}

// Whether the sheet is asked for and visible, the refresh timer runs and the create button is enabled.
std::tuple<bool, bool, bool, bool> sheetState(const ContentViewState& state, const ContentView& window,
                                              const FakeTimer& timer) {
  return {state.askForPermissions(), window.permissionsSheet()->isVisible(), timer.running(),
          window.createVirtualDisplayButton()->isEnabled()};
}

}  // namespace

class ContentViewTest : public QObject {
  Q_OBJECT

 private slots:
  void sheetAtStart_data() {
    QTest::addColumn<bool>("screen");
    QTest::addColumn<bool>("input");
    QTest::addColumn<QString>("stored");  // empty: nothing stored
    QTest::addColumn<bool>("sheet");
    QTest::newRow("both granted, nothing stored") << true << true << "" << false;
    QTest::newRow("both granted, stored false") << true << true << "false" << false;
    QTest::newRow("both granted, stored true") << true << true << "true" << false;
    QTest::newRow("screen missing, nothing stored") << false << true << "" << true;
    QTest::newRow("screen missing, stored false") << false << true << "false" << true;
    QTest::newRow("screen missing, stored TRUE") << false << true << "TRUE" << false;
    QTest::newRow("input missing, stored 1") << true << false << "1" << false;
    QTest::newRow("input missing, stored 0") << true << false << "0" << true;
    QTest::newRow("both missing, stored True") << false << false << "True" << false;
    QTest::newRow("not a Boolean: yes") << false << false << "yes" << true;
    QTest::newRow("not a Boolean: 2") << false << false << "2" << true;
    QTest::newRow("not a Boolean: a list") << true << false << "true, true" << true;
  }

  void sheetAtStart() {
    QFETCH(bool, screen);
    QFETCH(bool, input);
    QFETCH(QString, stored);
    QFETCH(bool, sheet);
    Fixture fixture;
    fixture.permissions->screen = screen;
    fixture.permissions->input = input;
    QFile file(fixture.config.filePath("marlinax.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    if (!stored.isEmpty()) file.write(("[General]\nPermissionsVisible=" + stored + "\n").toUtf8());
    file.close();
    auto state = fixture.make();
    // Accessibility is only tested once screen recording is granted.
    if (!screen) QCOMPARE(fixture.permissions->inputTests, 0);
    ContentView window(*state);
    window.show();
    QCOMPARE(sheetState(*state, window, *fixture.timer), std::tuple(sheet, sheet, sheet, !sheet));
    if (!sheet) return;
    QTest::keyClick(window.permissionsSheet(), Qt::Key_Return);  // "Close" is the sheet's default
    QCOMPARE(sheetState(*state, window, *fixture.timer), std::tuple(false, false, false, true));
  }

  // The sheet's buttons open help until granted; each refresh tick follows the
  // grants, and the tick after the second grant closes the sheet for good.
  void sheetFollowsGrantsAndOpensHelp() {
    Fixture fixture;
    auto [state, window] = fixture.show();
    PermissionsView* sheet = window->permissionsSheet();
    QVERIFY(!window->createVirtualDisplayButton()->isEnabled());  // covered by the sheet
    sheet->statusButton(Permission::screenRecording)->click();
    sheet->statusButton(Permission::accesibility)->click();
    QCOMPARE(fixture.launcher->helpSections, QStringList({"permission-screen-recording", "permission-accessibility"}));

    fixture.permissions->input = true;
    fixture.timer->tick();
    QVERIFY(sheet->isVisible());
    QCOMPARE(sheet->statusButton(Permission::accesibility)->text(), QString("Enabled."));
    QVERIFY(!sheet->statusButton(Permission::accesibility)->isEnabled());
    QCOMPARE(sheet->statusButton(Permission::screenRecording)->text(), QString("Open Settings"));
    QVERIFY(sheet->statusButton(Permission::screenRecording)->isEnabled());
    fixture.permissions->screen = true;
    fixture.timer->tick();
    QCOMPARE(sheetState(*state, *window, *fixture.timer), std::tuple(false, false, false, true));
  }

  void sheetNeverBlocksQuitting() {
    Fixture fixture;
    auto [state, window] = fixture.show();
    QVERIFY(QTest::qWaitForWindowActive(window->permissionsSheet()));
    QTest::keyClick(window->permissionsSheet(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(std::pair(fixture.quits, fixture.session->stops), std::pair(1, 1));
  }

  // The waiting window: help, one session start, a close alert that Cancel
  // dismisses; then a virtual display that waits for its discovery, and closing
  // the app, which releases it.
  void waitingWindowCreatesADisplayAndClosingReleasesIt() {
    Fixture fixture(true);
    auto [state, window] = fixture.show();
    QCOMPARE(window->minimumSize(), window->maximumSize());
    QVERIFY(!window->showsConnectedLayout());
    QCOMPARE(visibleLabelTexts(*window).first(), QString("Awaiting connection\u2026"));
    window->helpButton()->click();
    QCOMPARE(fixture.launcher->helpSections, QStringList({QString()}));
    // The session loop starts on the first showing only.
    window->hide();
    window->show();
    QCOMPARE(fixture.session->starts, 1);
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->helpButton()->setFocus();
    QTest::keyClick(window.get(), Qt::Key_Return);  // "Close" is the default button
    QVERIFY(state->showAlert() && window->alert());
    QCOMPARE(window->alert()->defaultButton(), window->alertCancelButton());
    QCOMPARE(window->alert()->buttonRole(window->alertCloseAppButton()), QMessageBox::DestructiveRole);
    window->alertCancelButton()->click();
    QVERIFY(!state->showAlert());
    QTRY_VERIFY(!window->alert());
    QCOMPARE(std::pair(fixture.quits, fixture.session->stops), std::pair(0, 0));

    QSignalSpy appended(&state->viewModel(), &ContentViewViewModel::displayHoldersChanged);
    window->createVirtualDisplayButton()->click();
    QVERIFY(!window->createVirtualDisplayButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(fixture.gate.waits.load(), std::size_t{1}, 30000);
    // The display exists, the discovery waits: no holder, no settings yet, and no second display.
    window->createVirtualDisplayButton()->click();
    QCoreApplication::processEvents();
    const auto progress = [&] {
      return std::tuple(fixture.displays->records().size(), state->viewModel().displayHolders().size(),
                        fixture.launcher->displaySettings, window->createVirtualDisplayButton()->isEnabled());
    };
    QCOMPARE(progress(), std::tuple(std::size_t{1}, std::size_t{0}, 0, false));
    fixture.gate.release();
    QTRY_COMPARE_WITH_TIMEOUT(appended.count(), 1, 30000);
    QCOMPARE(progress(), std::tuple(std::size_t{1}, std::size_t{1}, 1, false));

    window->closeButton()->click();
    window->alertCloseAppButton()->click();
    QCOMPARE(std::tuple(fixture.quits, fixture.session->stops, fixture.displays->liveDisplays()), std::tuple(1, 1, 0));
    window->close();  // closing the window afterwards does not quit twice
    QCOMPARE(fixture.quits, 1);
  }

  void quittingCutsDiscoveryShort() {
    Fixture fixture(true);
    fixture.useGate = false;  // the window's own two-second wait
    auto [state, window] = fixture.show();
    window->createVirtualDisplayButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(fixture.displays->liveDisplays(), 1, 30000);
    window->close();  // the window's close button quits too
    QCOMPARE(std::tuple(fixture.quits, fixture.displays->liveDisplays()), std::tuple(1, 0));
    std::lock_guard lock(fixture.linesMutex);
    QCOMPARE(QString::fromStdString(fixture.lines.back()), QString("Error: The application is quitting."));
  }

  void connectedLayoutFollowsSession() {
    Fixture fixture(true);
    auto [state, window] = fixture.show();
    QSignalSpy changed(state.get(), &ContentViewState::changed);
    fixture.session->fromNetworkThread([](auto& events) { events.listening(4711); });
    fixture.session->fromNetworkThread([](auto& events) { events.connected("Test Headset", 1, 1); });
    QVERIFY(!window->showsConnectedLayout());  // queued to the GUI thread
    QTRY_VERIFY(window->showsConnectedLayout());
    QCOMPARE(state->listeningPort(), std::optional<std::uint16_t>(4711));
    QCOMPARE(visibleLabelTexts(*window), QStringList({"Connected to Test Headset."}));
    for (QPushButton* button : window->findChildren<QPushButton*>())
      QVERIFY2(!button->isVisibleTo(window.get()), qPrintable(button->text()));

    // A second headset replaces the first, whose end is reported afterwards.
    fixture.session->fromNetworkThread([](auto& events) { events.connected("Second Headset", 1, 1); });
    fixture.session->fromNetworkThread([](auto& events) { events.disconnected(0); });
    QTRY_COMPARE(changed.count(), 4);
    QCOMPARE(visibleLabelTexts(*window), QStringList({"Connected to Second Headset."}));
    fixture.session->fromNetworkThread([](auto& events) { events.disconnected(2); });
    QTRY_VERIFY(!window->showsConnectedLayout());
    QVERIFY(window->closeButton()->isVisible());

    // Another protocol version: served all the same, and said so.
    fixture.session->fromNetworkThread([](auto& events) { events.connected("Old Headset", 3, 1); });
    QTRY_VERIFY(window->showsConnectedLayout());
    QCOMPARE(
        visibleLabelTexts(*window),
        QStringList({"Connected to Old Headset.", "The headset speaks protocol version 3, this computer version 1."}));
  }

  void displaySettingsChoice_data() {
    QTest::addColumn<QString>("desktop");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("expected");  // the program and its arguments, or "error:" and a word the reason has
    const QStringList all{"gnome-control-center",   "kcmshell6", "kcmshell5", "systemsettings",
                          "xfce4-display-settings", "arandr"};
    QTest::newRow("GNOME") << "GNOME" << all << "gnome-control-center display";
    QTest::newRow("Ubuntu's GNOME") << "ubuntu:GNOME" << all << "gnome-control-center display";
    QTest::newRow("Plasma 6") << "KDE" << all << "kcmshell6 kcm_kscreen";
    QTest::newRow("Plasma 5") << "KDE" << QStringList{"kcmshell5", "systemsettings"} << "kcmshell5 kcm_kscreen";
    QTest::newRow("Xfce, any case") << "xfce" << all << "xfce4-display-settings";
    QTest::newRow("Xfce without its settings") << "XFCE" << QStringList{"arandr"} << "arandr";
    QTest::newRow("unknown desktop") << "LXQt" << QStringList{"arandr", "gnome-control-center"} << "arandr";
    QTest::newRow("nothing installed") << "GNOME" << QStringList{} << "error:gnome-control-center";
    QTest::newRow("no desktop named") << "" << QStringList{"kcmshell6"} << "error:XDG_CURRENT_DESKTOP";
  }

  void displaySettingsChoice() {
    QFETCH(QString, desktop);
    QFETCH(QStringList, installed);
    QFETCH(QString, expected);
    const auto choice = chooseDisplaySettings(desktop, [&](const QString& p) { return installed.contains(p); });
    if (const auto* program = std::get_if<SettingsProgram>(&choice))
      QCOMPARE((QStringList{program->program} + program->arguments).join(' '), expected);
    else
      QVERIFY2(expected.startsWith("error:") && std::get<QString>(choice).contains(expected.mid(6)),
               qPrintable(std::get<QString>(choice)));
  }

  void productFiles() {
    QTemporaryDir dir;
    // The preference lives in the product's file under the XDG config folder.
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    const Preferences stored(QStringLiteral("PermissionsVisible"), false);
    QCOMPARE(stored.filePath(), dir.filePath("Marlinax/marlinax.conf"));

    const QString installed = dir.filePath("installed.html");
    const QString source = dir.filePath("source.html");
    QCOMPARE(findHelpPage({installed, source}), std::nullopt);
    QFile(source).open(QIODevice::WriteOnly);
    QCOMPARE(findHelpPage({installed, source}), std::optional<QString>(source));
    QFile(installed).open(QIODevice::WriteOnly);
    QCOMPARE(findHelpPage({installed, source}), std::optional<QString>(installed));
    QCOMPARE(helpPageUrl(installed, "permission-accessibility").toString(),
             "file://" + installed + "#permission-accessibility");
  }
};

QTEST_MAIN(ContentViewTest)
#include "ContentViewTest.moc"
