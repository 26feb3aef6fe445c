#include "host/uInfo.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace tw {

void CentreOnScreen(QWidget& window) {
  QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = window.frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
}

TfInfo::TfInfo(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint),
      lblMsg_(new QLabel(this)) {
  setObjectName("fInfo");
  setWindowTitle("Just a second...");
  lblMsg_->setObjectName("lblMsg");
  lblMsg_->setStyleSheet("QLabel { color: blue; font-weight: bold; }");
  lblMsg_->setAlignment(Qt::AlignCenter);
  lblMsg_->setMinimumSize(260, 60);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblMsg_);
  setModal(false);
  setFixedSize(sizeHint());
}

void TfInfo::ShowInfo(const QString& caption, const QString& message) {
  setWindowTitle(caption);
  lblMsg_->setText(message);
  CentreOnScreen(*this);
  show();
  raise();
}

QString TfInfo::Message() const { return lblMsg_->text(); }

void TfInfo::closeEvent(QCloseEvent* event) { event->ignore(); }

}  // namespace tw
