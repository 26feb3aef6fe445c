// TPrompts: the message boxes and the input box that the host's windows
// show. The windows ask through this interface so that tests can answer in
// place of an operator; TQtPrompts shows the real boxes.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace tw {

class TPrompts {
 public:
  virtual ~TPrompts() = default;
  virtual void Error(QWidget* parent, const QString& title, const QString& text) = 0;
  virtual void Inform(QWidget* parent, const QString& title, const QString& text) = 0;
  // A question with Yes and No; true for Yes.
  virtual bool Confirm(QWidget* parent, const QString& title, const QString& text) = 0;
  // An input box; nothing when it is cancelled.
  virtual std::optional<QString> Input(QWidget* parent, const QString& title, const QString& prompt) = 0;
};

class TQtPrompts final : public TPrompts {
 public:
  void Error(QWidget* parent, const QString& title, const QString& text) override;
  void Inform(QWidget* parent, const QString& title, const QString& text) override;
  bool Confirm(QWidget* parent, const QString& title, const QString& text) override;
  std::optional<QString> Input(QWidget* parent, const QString& title, const QString& prompt) override;
};

// Without a display nobody can answer a box: messages go to the terminal,
// questions are answered No and input boxes are cancelled.
class TConsolePrompts final : public TPrompts {
 public:
  void Error(QWidget* parent, const QString& title, const QString& text) override;
  void Inform(QWidget* parent, const QString& title, const QString& text) override;
  bool Confirm(QWidget* parent, const QString& title, const QString& text) override;
  std::optional<QString> Input(QWidget* parent, const QString& title, const QString& prompt) override;
};

// The program's display name, used as the application title and caption.
inline const QString kProductName = QStringLiteral("twParley Server");

}  // namespace tw
