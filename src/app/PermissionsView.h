#pragma once

// The permissions sheet: what the product needs from the desktop, which of it
// is granted, and a way to each fix. It is shown while the state's
// askForPermissions is true; the state's refresh re-tests the permissions
// every second and clears the flag once both are granted. The sheet is a
// window of its own that is not modal, so quitting is never blocked by it.

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <array>

#include "app/ContentViewState.h"
#include "app/Permission.h"

namespace marlinax::app {

class PermissionsView : public QDialog {
  Q_OBJECT

 public:
  PermissionsView(ContentViewState& state, QWidget* parent);

  // Shows or hides the sheet after the state, and re-tests both rows.
  void render();

  QPushButton* statusButton(Permission permission) const;
  QLabel* descriptionLabel(Permission permission) const;
  QPushButton* closeButton() const { return closeButton_; }

 protected:
  // Escape and the window's close button act as "Close".
  void reject() override;

 private:
  struct Row {
    QPushButton* status = nullptr;
    QLabel* description = nullptr;
  };
  void renderRows();

  ContentViewState& state_;
  std::array<Row, allPermissions.size()> rows_;
  QPushButton* closeButton_ = nullptr;
};

}  // namespace marlinax::app
