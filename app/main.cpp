#include <QApplication>
#include <QFile>
#include <QMetaObject>
#include <QTimer>
#include <string>
#include <vector>

#include "app/UMessage.h"
#include "app/Unit1.h"
#include "platform/Thread.h"
#include "update/Update.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;

namespace {

void ApplyObsidianStyle(QApplication& app) {
  QFile style(QStringLiteral(":/styles/obsidian.qss"));
  if (!style.open(QIODevice::ReadOnly)) {
    qWarning("The Obsidian style could not be loaded; using the default look.");
    return;
  }
  app.setStyle(QStringLiteral("Fusion"));
  app.setStyleSheet(QString::fromUtf8(style.readAll()));
}

int RunApplication(int argc, char** argv) {
  QApplication app(argc, argv);
  ApplyObsidianStyle(app);
  NameApplication();
  // Worker events reach the window through the main-thread queue; wake the event loop.
  SetWakeMainThread([] {
    QMetaObject::invokeMethod(
        qApp, [] { CheckSynchronize(0); }, Qt::QueuedConnection);
  });

  TForm1 form;
  TfrmMessage frmMessage;
  frmMessage.hide();
  TfrmUpdate frmUpdate;
  form.frmMessage = &frmMessage;
  form.frmUpdate = &frmUpdate;
  // What "Open With" and the desktop file's %F pass; Qt has taken its own options out of
  // argv. The bytes themselves: arguments() would have lost those that are not UTF-8.
  form.AddPaths(std::vector<std::string>(argv + 1, argv + argc));
  form.show();
  // Lets an installation check see the window come up and close as after File > Exit.
  if (qEnvironmentVariableIsSet("TUNEVERT_QUIT_AFTER_START"))
    QTimer::singleShot(0, &form, &QWidget::close);
  const int result = QApplication::exec();
  form.frmMessage = nullptr;
  form.frmUpdate = nullptr;
  SetWakeMainThread(nullptr);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  SetMainThread();
  LoadWMRuntime();
  const int result = RunApplication(argc, argv);
  // Every component holding runtime interfaces is gone by now.
  UnloadWMRuntime();
  return result;
}
