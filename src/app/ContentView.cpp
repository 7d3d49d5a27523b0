#include "app/ContentView.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

#include "app/PermissionsView.h"
#include "app/Style.h"

namespace marlinax::app {

namespace {

// A button whose label is `labelWidth` wide (the style adds its margins).
void setLabelWidth(QPushButton* button, int labelWidth) {
  const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
  button->setMinimumWidth(labelWidth + 2 * margin);
}

}  // namespace

ContentView::ContentView(ContentViewState& state, QWidget* parent) : QWidget(parent), state_(state) {
  setWindowTitle(tr("Marlinax Server"));
  setWindowIcon(applicationIcon());
  setFixedSize(kFixedSize);

  auto* outer = new QHBoxLayout(this);
  outer->setSpacing(50);
  outer->setContentsMargins(40, 40, 40, 40);
  pages_ = new QStackedWidget(this);
  waitingPage_ = makeWaitingPage();
  connectedPage_ = makeConnectedPage();
  pages_->addWidget(waitingPage_);
  pages_->addWidget(connectedPage_);
  outer->addWidget(pages_);

  // Return presses "Close" wherever the focus is, as a default button does.
  for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, this, [this] {
      if (!showsConnectedLayout() && closeButton_->isEnabled()) closeButton_->click();
    });
  }
  // Application shortcuts: they work while the (not modal) permissions sheet
  // has the focus too. Ctrl+Q always, whatever the platform theme binds.
  QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
  if (!quitKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_Q))) quitKeys << QKeySequence(Qt::CTRL | Qt::Key_Q);
  for (const QKeySequence& key : quitKeys) {
    auto* quit = new QShortcut(key, this);
    quit->setContext(Qt::ApplicationShortcut);
    connect(quit, &QShortcut::activated, this, [this] { state_.quit(); });
  }

  sheet_ = new PermissionsView(state_, this);
  connect(&state_, &ContentViewState::changed, this, &ContentView::render);
  render();
}

ContentView::~ContentView() = default;

QWidget* ContentView::makeWaitingPage() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(20);

  column->addWidget(new IconView(applicationIcon(), 0.75, page), 1);

  auto* texts = new QWidget(page);
  auto* textColumn = new QVBoxLayout(texts);
  textColumn->setContentsMargins(0, 0, 0, 0);
  textColumn->setSpacing(8);
  auto* title = new QLabel(tr("Awaiting connection\u2026"), texts);
  title->setFont(titleFont(font()));
  textColumn->addWidget(title, 0, Qt::AlignLeft);
  textColumn->addWidget(
      new QLabel(tr("This app allows casting and controlling all your computer's displays with the Apple Vision Pro."),
                 texts),
      0, Qt::AlignLeft);
  textColumn->addWidget(new QLabel(tr("Please launch Marlinax Server on your Apple Vision Pro for connecting."), texts),
                        0, Qt::AlignLeft);
  column->addWidget(texts, 0, Qt::AlignHCenter);

  auto* buttons = new QWidget(page);
  auto* inset = new QHBoxLayout(buttons);
  inset->setContentsMargins(90, 0, 90, 0);
  auto* buttonColumn = new QVBoxLayout();
  createButton_ = new QPushButton(tr("Create Virtual Display 1"), buttons);
  buttonColumn->addWidget(createButton_, 0, Qt::AlignHCenter);
  buttonColumn->addWidget(makeDivider(buttons));
  auto* row = new QHBoxLayout();
  helpButton_ = new QPushButton(tr("Help"), buttons);
  closeButton_ = new QPushButton(tr("Close"), buttons);
  setLabelWidth(helpButton_, 48);
  setLabelWidth(closeButton_, 48);
  // Drawn as the default button; the Return shortcut above makes it one.
  closeButton_->setDefault(true);
  row->addWidget(helpButton_);
  row->addStretch(1);
  row->addWidget(closeButton_);
  buttonColumn->addLayout(row);
  inset->addLayout(buttonColumn);
  column->addWidget(buttons);

  connect(createButton_, &QPushButton::clicked, this, [this] { state_.createVirtualDisplay1(); });
  connect(helpButton_, &QPushButton::clicked, this, [this] { state_.openHelp(); });
  connect(closeButton_, &QPushButton::clicked, this, [this] { state_.close(); });
  return page;
}

QWidget* ContentView::makeConnectedPage() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(20);
  column->addStretch(1);
  auto* mark = new IconView(checkmarkIcon(), 1.0, page);
  mark->setFixedSize(100, 100);
  column->addWidget(mark, 0, Qt::AlignHCenter);
  connectedLabel_ = new QLabel(page);
  connectedLabel_->setFont(titleFont(font()));
  connectedLabel_->setAlignment(Qt::AlignCenter);
  column->addWidget(connectedLabel_, 0, Qt::AlignHCenter);
  versionsLabel_ = new QLabel(page);
  versionsLabel_->setFont(captionFont(font()));
  versionsLabel_->setAlignment(Qt::AlignCenter);
  column->addWidget(versionsLabel_, 0, Qt::AlignHCenter);
  column->addStretch(1);
  return page;
}

bool ContentView::showsConnectedLayout() const { return pages_->currentWidget() == connectedPage_; }

QMessageBox* ContentView::alert() const { return alert_ && alert_->isVisible() ? alert_.data() : nullptr; }

void ContentView::render() {
  const auto& remote = state_.remote();
  if (remote) {
    connectedLabel_->setText(tr("Connected to ") + remote->name + QStringLiteral("."));
    // The headset casts even so; the user should know why things may look odd.
    versionsLabel_->setVisible(remote->versionsDiffer());
    versionsLabel_->setText(tr("The headset speaks protocol version %1, this computer version %2.")
                                .arg(remote->headsetVersion)
                                .arg(remote->ourVersion));
    pages_->setCurrentWidget(connectedPage_);
  } else {
    pages_->setCurrentWidget(waitingPage_);
  }
  createButton_->setDisabled(state_.button1Disabled());

  if (state_.showAlert() && !alert_) {
    alert_ = new QMessageBox(QMessageBox::Warning, tr("Warning"),
                             tr("All open connection will be invalidated this way."), QMessageBox::NoButton, this);
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    alertCancel_ = alert_->addButton(tr("Cancel"), QMessageBox::RejectRole);
    alertCloseApp_ = alert_->addButton(tr("Close App"), QMessageBox::DestructiveRole);
    alert_->setDefaultButton(alertCancel_);
    alert_->setEscapeButton(alertCancel_);
    QPushButton* closeApp = alertCloseApp_;
    connect(alert_, &QMessageBox::finished, this, [this, closeApp, box = alert_.data()](int) {
      const bool confirmed = box->clickedButton() == closeApp;
      if (confirmed)
        state_.closeApp();
      else if (state_.showAlert())
        state_.cancelClose();
    });
    alert_->open();
  } else if (!state_.showAlert() && alert_) {
    alert_->close();
    alert_ = nullptr;
    alertCancel_ = nullptr;
    alertCloseApp_ = nullptr;
  }

  sheet_->render();
  // The sheet covers the window: the window's own controls wait until it is
  // gone, but the window still closes and the application still quits.
  pages_->setEnabled(!state_.askForPermissions());
}

void ContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  state_.shown();
  sheet_->render();
}

void ContentView::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!state_.shutDown()) state_.quit();
}

}  // namespace marlinax::app
