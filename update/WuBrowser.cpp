#include "update/WuBrowser.h"

#include <QCoreApplication>

#include "update/HttpClient.h"

namespace tunevert {

namespace {

constexpr std::size_t kMaxPageBytes = 4u << 20;

}  // namespace

TWuBrowser::TWuBrowser(QWidget* parent) : QTextBrowser(parent) {
  setOpenExternalLinks(true);
}

void TWuBrowser::Navigate(const QString& URL) {
  FLocationURL = URL;
  THttpConnection connection;
  // Paint and timers go on while the page loads; clicks wait until it is shown.
  connection.OnIdle = [] {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return true;
  };
  THttpConnection::TRequest request;
  request.URL = URL.toStdString();
  std::string page;
  QString problem;
  if (!connection.Open(request)) {
    problem = QString::fromStdString(connection.ErrorText());
  } else if (connection.Status() < 200 || connection.Status() > 299) {
    problem = QStringLiteral("The server answered %1.").arg(connection.Status());
  } else {
    char buffer[4096];
    while (std::size_t got = connection.Read(buffer, sizeof buffer)) {
      page.append(buffer, got);
      if (page.size() > kMaxPageBytes) break;
    }
    if (!connection.ErrorText().empty()) problem = QString::fromStdString(connection.ErrorText());
  }
  if (!problem.isEmpty()) {
    setPlainText(QStringLiteral("The page %1 could not be shown: %2").arg(URL, problem));
    return;
  }
  // The update page is written in an 8-bit code page, one character per byte.
  setHtml(QString::fromLatin1(page.data(), static_cast<qsizetype>(page.size())));
}

}  // namespace tunevert
