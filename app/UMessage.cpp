#include "app/UMessage.h"

#include <QGuiApplication>
#include <QScreen>

namespace tunevert {

TfrmMessage::TfrmMessage(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setFixedSize(281, 172);
  panel_message = new QLabel(this);
  panel_message->setGeometry(0, 0, 281, 172);
  panel_message->setAlignment(Qt::AlignCenter);
  panel_message->setWordWrap(true);
  QFont bold(QStringLiteral("MS Sans Serif"), 10);
  bold.setBold(true);
  panel_message->setFont(bold);
  panel_message->setFrameShape(QFrame::Panel);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setGeometry(16, 120, 249, 17);
  ProgressBar1->setTextVisible(false);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

}  // namespace tunevert
