// TfSettings: the "Settings" window. It edits the security mode, keys,
// trusted peer fingerprints, listening port and bind address, keeps them in
// settings.ini (THostSettings) and hands its current values to the main
// window, which gives them to the server control. Key pairs come from the
// control; while one is made the window takes no input and cannot close.
#pragma once

#include <QDialog>
#include <QString>
#include <optional>

#include "host/mSettings.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QLabel;
class QTabWidget;

namespace tw {

class TServerControl;
class TPrompts;
class TfInfo;

// How the fingerprint list shows an empty entry, which trusts no key.
inline const QString kEmptyFingerprintText = QStringLiteral("(empty: matches no key)");

class TfSettings : public QDialog {
 public:
  // Loads settings.ini from `folder`. The control, prompts and info window
  // are borrowed and must outlive the window.
  TfSettings(std::string folder, TServerControl& control, TPrompts& prompts, TfInfo& info,
             QWidget* parent = nullptr);

  // The values that the main window applies: the window's current texts and
  // the mode value last loaded or saved.
  THostSettings Values() const;
  int ModeValue() const { return mode_; }

  void LoadSettings();
  void Generate();
  bool Generating() const { return generating_; }

  void accept() override;  // "Ok"
  void reject() override;  // "Cancel" or closing

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void ApplyModeRules();
  void AddFingerprint();
  void AddFingerprintItem(const QString& fingerprint);
  void RemoveFingerprint();
  void ClearKeys();

  std::string folder_;
  TServerControl& control_;
  TPrompts& prompts_;
  TfInfo& info_;
  int mode_ = 0;
  bool generating_ = false;
  // The settings of the last Ok whose save failed; they stay in force until
  // a save succeeds.
  std::optional<THostSettings> unsaved_;

  QTabWidget* tabs_;
  QRadioButton* radPlain_;
  QRadioButton* radSecret_;
  QRadioButton* radPublic_;
  QLineEdit* edSecret_;
  QLabel* lblPublic_;
  QPlainTextEdit* mmPublic_;
  QPushButton* btnGenerate_;
  QPushButton* btnClear_;
  QLabel* lblPrivate_;
  QPlainTextEdit* mmPrivate_;
  QLabel* lblFingerprint_;
  QLineEdit* edFingerprint_;
  QListWidget* lstFingerprints_;
  QPushButton* btnAdd_;
  QPushButton* btnRemove_;
  QLineEdit* edPort_;
  QLineEdit* edSrvAddr_;
  QPushButton* btnOk_;
  QPushButton* btnCancel_;
};

}  // namespace tw
