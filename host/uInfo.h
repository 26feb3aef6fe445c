// TfInfo: the small window that says "Generating new keys..." while a long
// piece of work runs: no close button, always on top, centred, not modal.
#pragma once

#include <QDialog>

class QLabel;

namespace tw {

class TfInfo : public QDialog {
 public:
  explicit TfInfo(QWidget* parent = nullptr);
  // Sets the caption and the message and shows the window; the caller hides
  // it when the work is done.
  void ShowInfo(const QString& caption, const QString& message);
  QString Message() const;

 protected:
  void closeEvent(QCloseEvent* event) override;  // only the caller hides it

 private:
  QLabel* lblMsg_;
};

// Moves `window` to the centre of the screen it is on (the primary one when
// it is on none).
void CentreOnScreen(QWidget& window);

}  // namespace tw
