#pragma once

// The main window: 800 x 400, not resizable. While no headset is connected it
// shows the waiting layout (icon, texts, "Create Virtual Display 1", "Help",
// "Close"); once one is, the connected layout (check mark and "Connected to
// NAME."). It renders a ContentViewState and forwards the user's actions to
// it; it owns the close confirmation and the permissions sheet.

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QWidget>

#include "app/ContentViewState.h"

namespace marlinax::app {

class PermissionsView;

class ContentView : public QWidget {
  Q_OBJECT

 public:
  static constexpr QSize kFixedSize{800, 400};

  explicit ContentView(ContentViewState& state, QWidget* parent = nullptr);
  ~ContentView() override;

  // What is on screen, for tests and screenshots.
  bool showsConnectedLayout() const;
  QPushButton* createVirtualDisplayButton() const { return createButton_; }
  QPushButton* helpButton() const { return helpButton_; }
  QPushButton* closeButton() const { return closeButton_; }
  QLabel* connectedLabel() const { return connectedLabel_; }
  QLabel* versionsLabel() const { return versionsLabel_; }
  // The close confirmation while it is shown, else null.
  QMessageBox* alert() const;
  QPushButton* alertCancelButton() const { return alertCancel_; }
  QPushButton* alertCloseAppButton() const { return alertCloseApp_; }
  PermissionsView* permissionsSheet() const { return sheet_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* makeWaitingPage();
  QWidget* makeConnectedPage();
  void render();

  ContentViewState& state_;
  QStackedWidget* pages_ = nullptr;
  QWidget* waitingPage_ = nullptr;
  QWidget* connectedPage_ = nullptr;
  QPushButton* createButton_ = nullptr;
  QPushButton* helpButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  QLabel* connectedLabel_ = nullptr;
  QLabel* versionsLabel_ = nullptr;
  QPointer<QMessageBox> alert_;
  QPushButton* alertCancel_ = nullptr;
  QPushButton* alertCloseApp_ = nullptr;
  PermissionsView* sheet_ = nullptr;
};

}  // namespace marlinax::app
