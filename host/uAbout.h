// TfAbout: the About window, shown modally from the main window; its link
// opens the project's home page in the default browser.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>

namespace tw {

inline const QUrl kHomePage{QStringLiteral("https://twparley.example.org/")};

class TfAbout : public QDialog {
 public:
  explicit TfAbout(QWidget* parent = nullptr);
  // What clicking the link does (the default opens it with the desktop).
  std::function<void(const QUrl&)> OpenUrl;
};

}  // namespace tw
