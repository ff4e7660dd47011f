#pragma once

#include <QDialog>
#include <QPushButton>
#include <QString>

#include "update/WuBrowser.h"

namespace tunevert {

// The program's "Update Available" dialog: the update page and the user's answer.
class TfrmUpdate final : public QDialog {
 public:
  explicit TfrmUpdate(QWidget* parent = nullptr);

  TWuBrowser* WebBrowser1;
  QPushButton* btnNo;
  QPushButton* btnUpdate;
  bool CanUpdate = false;
  // The update information page, fixed for the program's run.
  QString PageURL;

  void FormShow();
  void btnNoClick();
  void btnUpdateClick();

 protected:
  void showEvent(QShowEvent* event) override;
};

}  // namespace tunevert
