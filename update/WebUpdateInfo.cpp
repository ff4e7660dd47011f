#include "update/WebUpdateInfo.h"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/Text.h"

namespace tunevert {

void TResizePanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  if (OnResize) OnResize();
}

Tfrm_ShowInfoUpdate::Tfrm_ShowInfoUpdate(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(QStringLiteral("WebUpdate"));
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  resize(530, 453);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  Panel1 = new QFrame(this);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  auto* browserBox = new QVBoxLayout(Panel1);
  browserBox->setContentsMargins(2, 2, 2, 2);
  WebBrowser = new TWuBrowser(Panel1);
  browserBox->addWidget(WebBrowser);

  Panel2 = new QFrame(this);
  Panel2->setFrameStyle(QFrame::Box | QFrame::Plain);
  Panel2->setFixedHeight(31);
  chk_FutureUpdate = new QCheckBox(Panel2);
  chk_FutureUpdate->setGeometry(8, 6, 497, 17);
  chk_FutureUpdate->setChecked(true);

  Panel_Bottom = new TResizePanel(this);
  Panel_Bottom->setFixedHeight(41);
  btn_OK = new QPushButton(QStringLiteral("OK"), Panel_Bottom);
  btn_OK->setGeometry(0, 10, 75, 25);
  btn_OK->setDefault(true);
  btn_OK->setCursor(Qt::PointingHandCursor);
  btn_Cancel = new QPushButton(QStringLiteral("Cancel"), Panel_Bottom);
  btn_Cancel->setGeometry(0, 10, 75, 25);
  btn_Cancel->setCursor(Qt::PointingHandCursor);
  connect(btn_OK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btn_Cancel, &QPushButton::clicked, this, &QDialog::reject);
  Panel_Bottom->OnResize = [this] { Panel_BottomResize(); };

  column->addWidget(Panel1, 1);
  column->addWidget(Panel2);
  column->addWidget(Panel_Bottom);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void Tfrm_ShowInfoUpdate::Panel_BottomResize() {
  const int okWidth = btn_OK->width();
  // Integer division truncates toward zero, also for a panel narrower than the buttons.
  btn_OK->move((Panel_Bottom->width() - (okWidth + btn_Cancel->width() + 6)) / 2, btn_OK->y());
  btn_Cancel->move(btn_OK->x() + okWidth + 3, btn_Cancel->y());
}

namespace {

class TShowInfoWindow final : public TWuInfoWindow {
 public:
  bool ShowModal(const std::u16string& URL, const TWuInfoCaption& Captions,
                 bool& CheckForUpdate) override {
    FForm.chk_FutureUpdate->setChecked(CheckForUpdate);
    FForm.btn_OK->setText(QString::fromStdU16String(Captions.OkButton()));
    FForm.btn_Cancel->setText(QString::fromStdU16String(Captions.CancelButton()));
    FForm.chk_FutureUpdate->setText(QString::fromStdU16String(Captions.CheckForUpdate()));
    FForm.WebBrowser->Navigate(QString::fromStdU16String(URL));
    const bool ok = FForm.exec() == QDialog::Accepted;
    CheckForUpdate = FForm.chk_FutureUpdate->isChecked();
    return ok;
  }

 private:
  Tfrm_ShowInfoUpdate FForm;
};

}  // namespace

std::unique_ptr<TWuInfoWindow> CreateShowInfoUpdateWindow() {
  return std::make_unique<TShowInfoWindow>();
}

}  // namespace tunevert
