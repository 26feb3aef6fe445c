#include "host/uPrompts.h"

#include <QInputDialog>
#include <QMessageBox>
#include <cstdio>

namespace tw {

void TQtPrompts::Error(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::critical(parent, title, text);
}

void TQtPrompts::Inform(QWidget* parent, const QString& title, const QString& text) {
  QMessageBox::information(parent, title, text);
}

bool TQtPrompts::Confirm(QWidget* parent, const QString& title, const QString& text) {
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

std::optional<QString> TQtPrompts::Input(QWidget* parent, const QString& title, const QString& prompt) {
  bool ok = false;
  QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, QString(), &ok);
  if (!ok) return std::nullopt;
  return text;
}

void TConsolePrompts::Error(QWidget*, const QString& title, const QString& text) {
  std::fprintf(stderr, "%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
}

void TConsolePrompts::Inform(QWidget*, const QString& title, const QString& text) {
  std::printf("%s: %s\n", title.toUtf8().constData(), text.toUtf8().constData());
  std::fflush(stdout);
}

bool TConsolePrompts::Confirm(QWidget* parent, const QString& title, const QString& text) {
  Inform(parent, title, text + " (answered No)");
  return false;
}

std::optional<QString> TConsolePrompts::Input(QWidget*, const QString&, const QString&) {
  return std::nullopt;
}

}  // namespace tw
