#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace tunevert {

// The small borderless window that shows download progress.
class TfrmMessage final : public QWidget {
 public:
  explicit TfrmMessage(QWidget* parent = nullptr);
  QLabel* panel_message;
  QProgressBar* ProgressBar1;
};

}  // namespace tunevert
