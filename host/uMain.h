// TfMain: the host's main window. It applies the settings to the server
// control, starts and stops the server, answers login requests from the
// saved users, lists the connected peers, keeps a time-stamped log and lets
// the operator disconnect a peer or send it a short test message.
//
// Ownership: the window owns its peer records; the control, the other
// windows and the prompts are borrowed and outlive it. Each record is known
// to the control by a 32-bit key (the peer's moniker) that leads back to it.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/mSettings.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tw {

class TServerControl;
class TPrompts;
class TfSettings;
class TfAccess;
class TfAbout;

struct THostWindows {
  TfSettings& Settings;
  TfAccess& Access;
  TfAbout& About;
};

class TfMain : public QMainWindow {
 public:
  // Restores the window position from settings.ini in `folder` and binds the
  // control's events.
  TfMain(std::string folder, TServerControl& control, THostWindows windows, TPrompts& prompts);
  ~TfMain() override;

  // The buttons' actions.
  void StartServer();
  void StopServer();
  void OpenSettings();
  void OpenUsers();
  void ShowMyIP();
  void OpenAbout();
  void RemovePeer();
  void SendBytes();

  // Gives the settings window's values to the control; StartServer starts
  // with them.
  void ApplySettings();
  void UpdateStatus();
  // Why the last start failed or was refused (also logged, and written to
  // standard error); empty once the server started.
  QString StartFailure() const { return startFailure_; }
  // Appends a time-stamped line. The log keeps the most recent kLogLines
  // lines; once it has dropped older ones its first line says so.
  void Log(const QString& message);
  static constexpr int kLogLines = 5000;
  static QString LogTrimmedNotice();
  // Receives every log line as well (the program echoes them to the
  // terminal when it runs without a display).
  std::function<void(const QString& line)> LogEcho;

  // What the window shows, for tests and screenshots.
  QStringList LogLines() const;
  QString StatusText(int panel) const;
  int PeerRowCount() const;
  QStringList PeerRow(int row) const;
  void SelectPeerRow(int row);  // -1 selects none

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct TPeer {
    int32_t Handle;
    QString Name;
    QTreeWidgetItem* Row;
  };

  void StartFailed(const QString& reason);
  void RestorePosition();
  void SavePosition();
  void BindEvents();
  void SelectionChanged();
  std::optional<int32_t> SelectedHandle() const;
  // Runs an action; a failure of the control is shown, and the action stops there.
  template <class F>
  void Guarded(F&& action);

  void PeerConnected(int32_t handle);
  void PeerDisconnected(int32_t handle, int32_t code);
  void BinaryMessage(const std::vector<uint8_t>* bytes);

  std::string folder_;
  TServerControl& control_;
  THostWindows windows_;
  TPrompts& prompts_;
  std::map<int32_t, std::unique_ptr<TPeer>> peers_;  // by moniker
  int32_t nextMoniker_ = 1;
  bool shown_ = false;
  THostSettings applied_;  // what ApplySettings last gave the control
  int appliedMode_ = 0;
  QString startFailure_;
  bool closing_ = false;

  QPushButton* btnStart_;
  QPushButton* btnStop_;
  QPushButton* btnRemove_;
  QPushButton* btnBytes_;
  QTreeWidget* lvPeers_;
  void TrimLog();
  void ClearLog();
  QPlainTextEdit* mmLog_;
  bool logTrimmed_ = false;  // the notice heads the log
  QLabel* panel0_;
  QLabel* panel1_;
};

// Local time in the system's long time format, and date in its short format.
QString LongTimeText(const class QTime& time);
QString ShortDateText(const class QDate& date);

}  // namespace tw
