#include "update/Update.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "app/Version.h"

namespace tunevert {

TfrmUpdate::TfrmUpdate(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowStaysOnTopHint),
      PageURL(QString::fromStdString(UpdateInfoPageURL())) {
  setWindowTitle(QStringLiteral("Update Available"));
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  resize(469, 389);
  WebBrowser1 = new TWuBrowser(this);
  WebBrowser1->setGeometry(8, 8, 453, 329);
  btnNo = new QPushButton(QStringLiteral("Not Now"), this);
  btnNo->setGeometry(136, 352, 75, 25);
  btnUpdate = new QPushButton(QStringLiteral("Update"), this);
  btnUpdate->setGeometry(249, 352, 75, 25);
  connect(btnNo, &QPushButton::clicked, this, [this] { btnNoClick(); });
  connect(btnUpdate, &QPushButton::clicked, this, [this] { btnUpdateClick(); });
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TfrmUpdate::showEvent(QShowEvent* event) {
  // Every showing asks anew: only "Update" says yes, the close box and Esc never do.
  CanUpdate = false;
  QDialog::showEvent(event);
  // Load once the dialog runs its own loop: a close while loading must end that loop.
  QTimer::singleShot(0, this, [this] { FormShow(); });
}

void TfrmUpdate::FormShow() {
  WebBrowser1->Navigate(PageURL);
}

void TfrmUpdate::btnNoClick() {
  CanUpdate = false;
  reject();
}

void TfrmUpdate::btnUpdateClick() {
  CanUpdate = true;
  accept();
}

}  // namespace tunevert
