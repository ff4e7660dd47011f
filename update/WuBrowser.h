#pragma once

#include <QString>
#include <QTextBrowser>

namespace tunevert {

// The embedded browser of the update windows: shows a page fetched over our HTTP client.
class TWuBrowser final : public QTextBrowser {
 public:
  explicit TWuBrowser(QWidget* parent);
  // Fetches URL and shows it; a page that cannot be fetched shows why.
  void Navigate(const QString& URL);
  const QString& LocationURL() const { return FLocationURL; }

 private:
  QString FLocationURL;
};

}  // namespace tunevert
