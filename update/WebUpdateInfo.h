#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QPushButton>
#include <functional>
#include <memory>

#include "update/WebUpdate.h"
#include "update/WuBrowser.h"

namespace tunevert {

// A panel that reports its resizes.
class TResizePanel final : public QFrame {
 public:
  using QFrame::QFrame;
  std::function<void()> OnResize;

 protected:
  void resizeEvent(QResizeEvent* event) override;
};

// The update component's own information window: the page, OK / Cancel and the
// "check in the future" box.
class Tfrm_ShowInfoUpdate final : public QDialog {
 public:
  explicit Tfrm_ShowInfoUpdate(QWidget* parent = nullptr);

  TResizePanel* Panel_Bottom;
  QPushButton* btn_OK;
  QPushButton* btn_Cancel;
  QFrame* Panel2;
  QCheckBox* chk_FutureUpdate;
  QFrame* Panel1;
  TWuBrowser* WebBrowser;

  void Panel_BottomResize();
};

// The information window as the update component asks for it.
std::unique_ptr<TWuInfoWindow> CreateShowInfoUpdateWindow();

}  // namespace tunevert
