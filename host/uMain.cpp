// The window runs on the program's one thread; the control's events arrive
// on it from inside the Qt event loop (through the message bridge) or from
// inside the window's own calls on the control (DisconnectPeer fires
// OnPeerDisconnected before it returns).
#include "host/uMain.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "host/mServerControl.h"
#include "host/mSettings.h"
#include "host/mStartChecks.h"
#include "host/uAbout.h"
#include "host/uAccess.h"
#include "host/uInfo.h"
#include "host/uPrompts.h"
#include "host/uSettings.h"
#include "platform/win32/text.h"

namespace tw {
namespace {

QString Text(std::u16string_view s) { return QString::fromStdU16String(std::u16string(s)); }
std::u16string Wide(const QString& s) { return s.toStdU16String(); }

QPushButton* Button(const char* caption, const char* name, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(name);
  return b;
}

// Whether a window whose frame starts at `topLeft` and is `width` wide shows
// the middle of its caption on some screen.
bool IsOnSomeScreen(QPoint topLeft, int width) {
  QPoint caption = topLeft + QPoint(width / 2, 10);
  for (QScreen* s : QGuiApplication::screens())
    if (s->availableGeometry().contains(caption)) return true;
  return false;
}

}  // namespace

QString LongTimeText(const QTime& time) {
  QString format = QLocale::system().timeFormat(QLocale::LongFormat);
  format.remove(QLatin1String(" t")).remove(QLatin1Char('t'));  // no time zone
  return QLocale::system().toString(time, format.trimmed());
}

QString ShortDateText(const QDate& date) { return QLocale::system().toString(date, QLocale::ShortFormat); }

TfMain::TfMain(std::string folder, TServerControl& control, THostWindows windows, TPrompts& prompts)
    : QMainWindow(nullptr, Qt::Window | Qt::MSWindowsFixedSizeDialogHint),
      folder_(std::move(folder)),
      control_(control),
      windows_(windows),
      prompts_(prompts) {
  setObjectName("fMain");
  setWindowTitle(kProductName);
  auto* central = new QWidget(this);
  setCentralWidget(central);

  btnStart_ = Button("Start", "btnStart", central);
  btnStop_ = Button("Stop", "btnStop", central);
  auto* btnSettings = Button("Settings", "btnSettings", central);
  auto* btnUsers = Button("Users", "btnUsers", central);
  auto* btnMyIP = Button("My IP", "btnMyIP", central);
  auto* btnAbout = Button("About", "btnAbout", central);
  auto* btnExit = Button("Exit", "btnExit", central);
  auto* top = new QHBoxLayout;
  for (QPushButton* b : {btnStart_, btnStop_, btnSettings, btnUsers, btnMyIP, btnAbout, btnExit})
    top->addWidget(b);

  auto* peersBox = new QGroupBox(" Peers ", central);
  lvPeers_ = new QTreeWidget(peersBox);
  lvPeers_->setObjectName("lvPeers");
  lvPeers_->setHeaderLabels({"Name", "IP", "Port", "Time", "Status"});
  lvPeers_->setRootIsDecorated(false);
  lvPeers_->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvPeers_->setSelectionMode(QAbstractItemView::SingleSelection);
  lvPeers_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvPeers_->setColumnWidth(0, 99);
  lvPeers_->setColumnWidth(1, 99);
  lvPeers_->setColumnWidth(3, 80);
  lvPeers_->setColumnWidth(4, 98);
  lvPeers_->setFixedHeight(150);
  btnRemove_ = Button("Remove", "btnRemove", peersBox);
  btnBytes_ = Button("Bytes", "btnBytes", peersBox);
  btnRemove_->setEnabled(false);
  btnBytes_->setEnabled(false);
  auto* peerButtons = new QHBoxLayout;
  peerButtons->addWidget(btnRemove_);
  peerButtons->addStretch();
  peerButtons->addWidget(btnBytes_);
  auto* peersLayout = new QVBoxLayout(peersBox);
  peersLayout->addWidget(lvPeers_);
  peersLayout->addLayout(peerButtons);

  auto* logBox = new QGroupBox(" Log ", central);
  mmLog_ = new QPlainTextEdit(logBox);
  mmLog_->setObjectName("mmLog");
  mmLog_->setReadOnly(true);
  mmLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
  mmLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmLog_->setFixedHeight(150);
  auto* btnClearLog = Button("Clear", "btnClearLog", logBox);
  auto* logLayout = new QVBoxLayout(logBox);
  logLayout->addWidget(mmLog_);
  logLayout->addWidget(btnClearLog, 0, Qt::AlignRight);

  auto* layout = new QVBoxLayout(central);
  layout->addLayout(top);
  layout->addWidget(peersBox);
  layout->addWidget(logBox);

  panel0_ = new QLabel(" Working offline");
  panel1_ = new QLabel(" No online peers");
  panel0_->setFixedWidth(120);
  panel1_->setFixedWidth(160);
  statusBar()->setObjectName("StatusBar");
  statusBar()->setSizeGripEnabled(false);
  statusBar()->addWidget(panel0_);
  statusBar()->addWidget(panel1_);

  connect(btnStart_, &QPushButton::clicked, this, [this] { StartServer(); });
  connect(btnStop_, &QPushButton::clicked, this, [this] { StopServer(); });
  connect(btnSettings, &QPushButton::clicked, this, [this] { OpenSettings(); });
  connect(btnUsers, &QPushButton::clicked, this, [this] { OpenUsers(); });
  connect(btnMyIP, &QPushButton::clicked, this, [this] { ShowMyIP(); });
  connect(btnAbout, &QPushButton::clicked, this, [this] { OpenAbout(); });
  connect(btnExit, &QPushButton::clicked, this, [this] { close(); });
  connect(btnRemove_, &QPushButton::clicked, this, [this] { RemovePeer(); });
  connect(btnBytes_, &QPushButton::clicked, this, [this] { SendBytes(); });
  connect(btnClearLog, &QPushButton::clicked, this, [this] { ClearLog(); });
  connect(lvPeers_, &QTreeWidget::itemSelectionChanged, this, [this] { SelectionChanged(); });

  setFixedSize(QSize(560, sizeHint().height()));
  RestorePosition();
  BindEvents();
}

TfMain::~TfMain() {
  closing_ = true;
  QObject::disconnect(lvPeers_, nullptr, this, nullptr);
  control_.Events() = TServerEvents{};  // the control may outlive the window
}

template <class F>
void TfMain::Guarded(F&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    prompts_.Error(this, kProductName, QString::fromUtf8(e.what()));
  }
}

void TfMain::BindEvents() {
  TServerEvents& events = control_.Events();
  events.OnConnectionRequest = [this](int32_t, std::u16string_view user, std::u16string& password,
                                      bool& accept) {
    accept = true;
    password = windows_.Access.GetPassword(user);
  };
  events.OnPeerConnected = [this](int32_t handle) { Guarded([&] { PeerConnected(handle); }); };
  events.OnPeerRejected = [this](std::u16string_view user, std::u16string_view address, int32_t port,
                                 int32_t code) {
    // Lines with peer text are joined, never formatted: a name holding "%1"
    // is logged as the peer typed it.
    Log("Rejected peer: " + Text(user) + " at " + Text(address) + ":" + QString::number(port) +
        "  Error- " + QString::number(code));
  };
  events.OnPeerDisconnected = [this](int32_t handle, int32_t code) {
    Guarded([&] { PeerDisconnected(handle, code); });
  };
  events.OnBinaryMessage = [this](int32_t, const std::vector<uint8_t>* bytes) { BinaryMessage(bytes); };
}

void TfMain::RestorePosition() {
  THostSettings s;
  s.Load(folder_);  // an unreadable file gives the defaults
  QPoint where(s.Left, s.Top);
  if (IsOnSomeScreen(where, frameGeometry().width()))
    move(where);
  else
    CentreOnScreen(*this);
}

void TfMain::SavePosition() {
  THostSettings s;
  s.Left = pos().x();
  s.Top = pos().y();
  if (TFileResult saved = s.SaveWindowPosition(folder_); !saved)
    prompts_.Error(this, kProductName,
                   "The window position could not be saved: " + QString::fromStdString(saved.Error));
}

void TfMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  ApplySettings();
  StartServer();
}

void TfMain::closeEvent(QCloseEvent* event) {
  SavePosition();
  QMainWindow::closeEvent(event);
}

void TfMain::ApplySettings() {
  Guarded([&] {
    THostSettings s = windows_.Settings.Values();
    applied_ = s;
    appliedMode_ = windows_.Settings.ModeValue();
    control_.SetListeningPort(s.PortNumber());
    control_.SetSecurityMode(appliedMode_);
    control_.SetPublicKey(win32::AnsiToWide(s.PublicKey));
    control_.SetPrivateKey(win32::AnsiToWide(s.PrivateKey));
    control_.SetSecretKey(win32::AnsiToWide(s.SecretKey));
    control_.SetFingerprints(win32::AnsiToWide(s.FingerprintsText()));
    control_.SetBindAddress(win32::AnsiToWide(s.ServerAddress));
    UpdateStatus();
  });
}

void TfMain::UpdateStatus() {
  Guarded([&] {
    bool running = control_.Running();
    panel0_->setText(running ? " Started" : " Stopped");
    btnStart_->setEnabled(!running);
    btnStop_->setEnabled(running);
    int n = lvPeers_->topLevelItemCount();
    panel1_->setText(n > 0 ? " " + QString::number(n) + " connection(s)" : QString(" No active connection"));
  });
}

void TfMain::Log(const QString& message) {
  QString line = LongTimeText(QTime::currentTime()) + ": " + message;
  mmLog_->appendPlainText(line);
  TrimLog();
  if (LogEcho) LogEcho(line);
}

QString TfMain::LogTrimmedNotice() {
  return "(older lines removed: the log keeps the most recent " + QString::number(kLogLines) + ")";
}

// A storm of logins adds a line each; the window keeps a bounded number. The
// oldest lines go a tenth of the bound at a time, so trimming stays rare.
void TfMain::TrimLog() {
  QTextDocument* doc = mmLog_->document();
  const int kept = doc->blockCount() - (logTrimmed_ ? 1 : 0);
  if (kept <= kLogLines + kLogLines / 10) return;
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::Start);
  if (logTrimmed_) cursor.movePosition(QTextCursor::NextBlock);
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, kept - kLogLines);
  cursor.removeSelectedText();
  if (!logTrimmed_) {
    cursor.insertText(LogTrimmedNotice() + "\n");
    logTrimmed_ = true;
  }
}

void TfMain::ClearLog() {
  mmLog_->clear();
  logTrimmed_ = false;
}

// Settings the server cannot run with safely are refused before Start; a
// failed Start is explained from the control's LastError.
void TfMain::StartServer() {
  // Stays when a call on the control fails (Guarded shows that failure).
  startFailure_ = "the server control failed";
  Guarded([&] {
    if (std::optional<std::string> problem = SettingsProblem(applied_, appliedMode_)) {
      StartFailed(QString::fromStdString(*problem));
    } else if (control_.Start()) {
      startFailure_.clear();
      Log("server is started");
      const std::string address = win32::WideToAnsi(control_.BindAddress());
      Log(QString::fromStdString(ListeningText(address, control_.ListeningPort())));
    } else {
      StartFailed(QString::fromStdString(StartFailureText(control_.LastError(), applied_)));
    }
    UpdateStatus();
  });
}

void TfMain::StartFailed(const QString& reason) {
  startFailure_ = reason;
  Log("Cannot start the server: " + reason);
  std::fprintf(stderr, "twParleySrv: Cannot start the server: %s\n", reason.toUtf8().constData());
  prompts_.Error(this, kProductName, "Cannot start the server!");
}

void TfMain::StopServer() {
  Guarded([&] {
    control_.Stop();
    // Each disconnection removes its row while this loop runs: work from a
    // snapshot of the handles, last row first.
    std::vector<int32_t> handles;
    for (int row = lvPeers_->topLevelItemCount() - 1; row >= 0; --row)
      handles.push_back(lvPeers_->topLevelItem(row)->data(0, Qt::UserRole + 1).toInt());
    for (int32_t handle : handles) control_.DisconnectPeer(handle);
    UpdateStatus();
    Log("server is stopped");
  });
}

void TfMain::OpenSettings() {
  if (windows_.Settings.exec() == QDialog::Accepted) ApplySettings();
}

void TfMain::OpenUsers() { windows_.Access.ShowEditor(); }

void TfMain::ShowMyIP() {
  Guarded([&] { prompts_.Inform(this, kProductName, Text(control_.LocalIPList())); });
}

void TfMain::OpenAbout() { windows_.About.exec(); }

std::optional<int32_t> TfMain::SelectedHandle() const {
  QList<QTreeWidgetItem*> selected = lvPeers_->selectedItems();
  if (selected.size() != 1) return std::nullopt;
  return selected.front()->data(0, Qt::UserRole + 1).toInt();
}

void TfMain::RemovePeer() {
  if (std::optional<int32_t> handle = SelectedHandle())
    Guarded([&] { control_.DisconnectPeer(*handle); });
}

void TfMain::SendBytes() {
  std::optional<int32_t> handle = SelectedHandle();
  if (!handle) return;
  QDateTime now = QDateTime::currentDateTime();
  std::string text = win32::WideToAnsi(Wide(ShortDateText(now.date()) + " " + LongTimeText(now.time())));
  Guarded([&] { control_.SendBinaryMessage(*handle, std::vector<uint8_t>(text.begin(), text.end())); });
}

void TfMain::SelectionChanged() {
  if (closing_) return;
  bool one = lvPeers_->selectedItems().size() == 1;
  btnRemove_->setEnabled(one);
  btnBytes_->setEnabled(one);
  UpdateStatus();
}

void TfMain::PeerConnected(int32_t handle) {
  QString name = Text(control_.GetPeerName(handle));
  QString address = Text(control_.GetPeerAddress(handle));
  int32_t port = control_.GetPeerPort(handle);
  int32_t moniker = nextMoniker_++;
  if (nextMoniker_ <= 0) nextMoniker_ = 1;  // 0 means none

  auto* row = new QTreeWidgetItem(
      QStringList{name.isEmpty() ? QString("Guest") : name, address, QString::number(port),
                  LongTimeText(QTime::currentTime()), "Connected"});
  row->setData(0, Qt::UserRole, moniker);
  row->setData(0, Qt::UserRole + 1, handle);
  lvPeers_->addTopLevelItem(row);
  peers_[moniker] = std::make_unique<TPeer>(TPeer{handle, name, row});
  control_.SetMoniker(handle, moniker);
  UpdateStatus();
  Log("New peer at " + address + ":" + QString::number(port));
}

void TfMain::PeerDisconnected(int32_t handle, int32_t code) {
  auto it = peers_.find(control_.GetMoniker(handle));
  if (it == peers_.end()) return;
  Log("Disconnected peer " + it->second->Name + " Error-" + QString::number(code));
  delete it->second->Row;
  peers_.erase(it);
  UpdateStatus();
}

void TfMain::BinaryMessage(const std::vector<uint8_t>* bytes) {
  if (!bytes) return;
  // Shown as a log line, not a box per message: a peer that sends many would
  // otherwise stack one modal loop inside another. The text ends at a NUL.
  std::string text(bytes->begin(), bytes->end());
  text.resize(std::min(text.size(), text.find('\0')));
  Log("Received binary message: " + Text(win32::AnsiToWide(text)));
}

QStringList TfMain::LogLines() const {
  QString all = mmLog_->toPlainText();
  return all.isEmpty() ? QStringList{} : all.split('\n');
}

QString TfMain::StatusText(int panel) const { return panel == 0 ? panel0_->text() : panel1_->text(); }

int TfMain::PeerRowCount() const { return lvPeers_->topLevelItemCount(); }

QStringList TfMain::PeerRow(int row) const {
  QStringList cells;
  QTreeWidgetItem* item = lvPeers_->topLevelItem(row);
  for (int c = 0; item && c < lvPeers_->columnCount(); ++c) cells << item->text(c);
  return cells;
}

void TfMain::SelectPeerRow(int row) {
  lvPeers_->clearSelection();
  if (QTreeWidgetItem* item = lvPeers_->topLevelItem(row)) item->setSelected(true);
}

}  // namespace tw
