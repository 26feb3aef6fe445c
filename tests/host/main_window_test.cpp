// The main window driven by the stand-in control: what it calls, what it
// logs and what its list and status bar show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "platform/com/variant.h"
#include "tests/host/host_windows.h"

namespace tw::test {
namespace {

using Names = std::vector<std::u16string>;

// "hh:mm:ss: message": the local time, ": ", then the message.
MATCHER_P(LogLine, message, "") {
  static const QRegularExpression time("^\\d{1,2}:\\d{2}:\\d{2}(\\s?[AP]M)?: ");
  QString line = arg;
  QRegularExpressionMatch m = time.match(line);
  return m.hasMatch() && line.mid(m.capturedLength()) == QString(message);
}

class MainWindow : public ::testing::Test, public THostWindowsFixture {
 protected:
  void SetUp() override { Create(); }
  QPushButton* Button(const char* name) { return main->findChild<QPushButton*>(name); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  QString LastLog() { return main->LogLines().isEmpty() ? QString() : main->LogLines().back(); }
  // The calls made since `from`.
  Names CallsSince(size_t from) {
    Names names = standIn->CallNames();
    return Names(names.begin() + static_cast<long>(from), names.end());
  }
};

TEST_F(MainWindow, FirstShowingAppliesTheSettingsInOrderThenStartsTheServer) {
  Folder.Write("settings.ini", "[Security]\r\nMode=1\r\nSecretKey=s3cret\r\nRemoteFingerprints=a,b\r\n"
                               "[Options]\r\nPort=2345\r\nServerAddress=127.0.0.1\r\n");
  main.reset();
  settings = std::make_unique<TfSettings>(Folder.Path(), *control, prompts, *info);
  main = std::make_unique<TfMain>(Folder.Path(), *control, THostWindows{*settings, *access, *about}, prompts);
  standIn->ClearCalls();
  main->show();

  Names calls = standIn->CallNames();
  Names expected = {u"put ListeningPort", u"put SecurityMode", u"put PublicKey", u"put PrivateKey",
                    u"put SecretKey",     u"put Fingerprints", u"put BindAddress", u"Running",
                    u"Start",             u"BindAddress",      u"ListeningPort",   u"Running"};
  EXPECT_EQ(calls, expected);
  const auto& c = standIn->Calls();
  EXPECT_EQ(c[0].Args[0].ToInt(), 2345);
  EXPECT_EQ(c[1].Args[0].ToInt(), 1);
  EXPECT_EQ(com::BstrView(c[4].Args[0].bstrVal), u"s3cret");
  EXPECT_EQ(com::BstrView(c[5].Args[0].bstrVal), u"a,b");
  EXPECT_EQ(com::BstrView(c[6].Args[0].bstrVal), u"127.0.0.1");

  // Where the server listens follows the Part's line.
  const QStringList log = main->LogLines();
  ASSERT_EQ(log.size(), 2);
  EXPECT_THAT(log[0], LogLine("server is started"));
  EXPECT_THAT(log[1], LogLine("listening on 127.0.0.1:2345"));
  EXPECT_EQ(main->StatusText(0), " Started");
  EXPECT_EQ(main->StatusText(1), " No active connection");
  EXPECT_FALSE(Button("btnStart")->isEnabled());
  EXPECT_TRUE(Button("btnStop")->isEnabled());
  EXPECT_FALSE(Button("btnRemove")->isEnabled());
  EXPECT_FALSE(Button("btnBytes")->isEnabled());
}

TEST_F(MainWindow, AStartThatFailsShowsTheBoxAndLogsTheReasonFromLastError) {
  standIn->StartResult = false;
  standIn->LastErrorCode = 10048;
  main->show();
  EXPECT_EQ(prompts.Errors, QStringList{kProductName + "|Cannot start the server!"});
  EXPECT_EQ(main->StatusText(0), " Stopped");
  EXPECT_TRUE(Button("btnStart")->isEnabled());
  EXPECT_FALSE(Button("btnStop")->isEnabled());
  ASSERT_EQ(main->LogLines().size(), 1);
  EXPECT_TRUE(LastLog().contains("Cannot start the server: address in use: another program listens on port 2222"))
      << LastLog().toStdString();
  EXPECT_TRUE(main->StartFailure().contains("(error 10048)"));
}

// Settings the server cannot run with safely never reach Start; once they
// are mended (here: the file, then Ok in the settings window), Start works.
TEST_F(MainWindow, SettingsTheServerCannotRunWithAreRefusedBeforeStart) {
  Folder.Write("settings.ini", "[Security]\r\nMode=7\r\n");
  settings = std::make_unique<TfSettings>(Folder.Path(), *control, prompts, *info);
  main = std::make_unique<TfMain>(Folder.Path(), *control, THostWindows{*settings, *access, *about}, prompts);
  standIn->ClearCalls();
  main->show();
  const Names calls = standIn->CallNames();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), u"Start"), 0);
  EXPECT_EQ(prompts.Errors, QStringList{kProductName + "|Cannot start the server!"});
  EXPECT_TRUE(LastLog().contains("Cannot start the server: Mode=7 is not a security mode")) << LastLog().toStdString();
  EXPECT_EQ(main->StatusText(0), " Stopped");

  QTimer::singleShot(0, [this] { settings->accept(); });  // Ok checks the plain-text radio
  main->OpenSettings();
  Click("btnStart");
  EXPECT_TRUE(standIn->IsRunning());
  EXPECT_TRUE(main->StartFailure().isEmpty());
  EXPECT_THAT(LastLog(), LogLine("listening on 0.0.0.0:2222 (every interface)"));
}

TEST_F(MainWindow, PeersAreListedCountedAndRemovedAsTheyComeAndGo) {
  main->show();
  int32_t alice = standIn->ConnectPeer(u"alice", u"10.0.0.5", 51000);
  EXPECT_THAT(LastLog(), LogLine("New peer at 10.0.0.5:51000"));
  int32_t guest = standIn->ConnectPeer(u"", u"10.0.0.7", 51012);
  ASSERT_EQ(main->PeerRowCount(), 2);
  QStringList row = main->PeerRow(0);
  EXPECT_EQ(row[0], "alice");
  EXPECT_EQ(row[1], "10.0.0.5");
  EXPECT_EQ(row[2], "51000");
  EXPECT_EQ(row[4], "Connected");
  EXPECT_EQ(main->PeerRow(1)[0], "Guest");  // an empty user name
  EXPECT_EQ(main->StatusText(1), " 2 connection(s)");
  // Each record is known to the control by its own non-zero moniker.
  EXPECT_NE(standIn->Peers().at(alice).Moniker, 0);
  EXPECT_NE(standIn->Peers().at(alice).Moniker, standIn->Peers().at(guest).Moniker);

  standIn->DropPeer(alice, -10);
  EXPECT_THAT(LastLog(), LogLine("Disconnected peer alice Error--10"));
  EXPECT_EQ(main->StatusText(1), " 1 connection(s)");
  standIn->DropPeer(guest, -10);
  EXPECT_THAT(LastLog(), LogLine("Disconnected peer  Error--10"));
  EXPECT_EQ(main->PeerRowCount(), 0);
  EXPECT_EQ(main->StatusText(1), " No active connection");

  size_t lines = static_cast<size_t>(main->LogLines().size());
  standIn->DropPeer(4242, 1);  // a handle without a record: nothing happens
  EXPECT_EQ(static_cast<size_t>(main->LogLines().size()), lines);
}

// A storm of logins cannot grow the log for ever: it keeps the most recent
// lines, says so in its first line, and Clear starts it afresh.
TEST_F(MainWindow, TheLogKeepsTheMostRecentLinesAndSaysSo) {
  main->show();
  const int total = TfMain::kLogLines * 2;
  for (int i = 0; i < total; ++i) main->Log("line " + QString::number(i));
  const QStringList lines = main->LogLines();
  ASSERT_LE(lines.size(), TfMain::kLogLines + TfMain::kLogLines / 10 + 1);
  ASSERT_GE(lines.size(), TfMain::kLogLines + 1);
  EXPECT_EQ(lines.front(), TfMain::LogTrimmedNotice());
  EXPECT_THAT(lines.back(), LogLine("line " + QString::number(total - 1)));
  // What is kept runs on without a gap up to the newest line.
  const int first = total - (static_cast<int>(lines.size()) - 1);
  EXPECT_THAT(lines[1], LogLine("line " + QString::number(first)));
  EXPECT_EQ(lines.count(TfMain::LogTrimmedNotice()), 1);

  Click("btnClearLog");
  EXPECT_TRUE(main->LogLines().isEmpty());
  main->Log("after");
  EXPECT_EQ(main->LogLines().size(), 1);
}

TEST_F(MainWindow, ARejectedLoginIsLogged) {
  main->show();
  standIn->FirePeerRejected(u"bob", u"10.0.0.5", 51000, 4);
  EXPECT_THAT(LastLog(), LogLine("Rejected peer: bob at 10.0.0.5:51000  Error- 4"));
}

TEST_F(MainWindow, PeerTextInLogLinesIsNeverTakenAsAFormat) {
  main->show();
  for (std::u16string name : {u"mallory%1", u"%0%2", u"100%%", u"%L1x%3"}) {
    QString q = QString::fromStdU16String(name);
    standIn->FirePeerRejected(name, u"10.0.0.%1", 50630, 4);
    EXPECT_THAT(LastLog(), LogLine("Rejected peer: " + q + " at 10.0.0.%1:50630  Error- 4"));
    int32_t handle = standIn->ConnectPeer(name, u"10.0.0.9", 51000);
    EXPECT_EQ(main->PeerRow(main->PeerRowCount() - 1)[0], q);
    standIn->DropPeer(handle, -10);
    EXPECT_THAT(LastLog(), LogLine("Disconnected peer " + q + " Error--10"));
  }
}

TEST_F(MainWindow, StopDisconnectsEveryRowFromTheLastToTheFirstThenLogs) {
  main->show();
  int32_t h1 = standIn->ConnectPeer(u"a", u"10.0.0.1", 1);
  int32_t h2 = standIn->ConnectPeer(u"b", u"10.0.0.2", 2);
  int32_t h3 = standIn->ConnectPeer(u"c", u"10.0.0.3", 3);
  size_t from = standIn->Calls().size();
  Click("btnStop");

  std::vector<int32_t> disconnected;
  Names calls = CallsSince(from);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), u"Stop");
  for (size_t i = from; i < standIn->Calls().size(); ++i)
    if (standIn->Calls()[i].Name == u"DisconnectPeer")
      disconnected.push_back(*standIn->Calls()[i].Args[0].ToInt());
  EXPECT_EQ(disconnected, (std::vector<int32_t>{h3, h2, h1}));
  EXPECT_EQ(main->PeerRowCount(), 0);
  QStringList log = main->LogLines();
  ASSERT_GE(log.size(), 4);
  EXPECT_THAT(log[log.size() - 4], LogLine("Disconnected peer c Error-1"));
  EXPECT_THAT(log.back(), LogLine("server is stopped"));
  EXPECT_EQ(main->StatusText(0), " Stopped");
  EXPECT_EQ(main->StatusText(1), " No active connection");
}

TEST_F(MainWindow, RemoveAndBytesActOnlyOnTheSelectedRow) {
  main->show();
  standIn->ConnectPeer(u"a", u"10.0.0.1", 1);
  int32_t h2 = standIn->ConnectPeer(u"b", u"10.0.0.2", 2);
  size_t from = standIn->Calls().size();
  main->RemovePeer();
  main->SendBytes();
  EXPECT_EQ(standIn->Calls().size(), from);  // nothing selected: nothing sent

  main->SelectPeerRow(1);
  EXPECT_TRUE(Button("btnRemove")->isEnabled());
  EXPECT_TRUE(Button("btnBytes")->isEnabled());
  Click("btnBytes");
  const auto& send = standIn->Calls().back();
  ASSERT_EQ(send.Name, u"SendBinaryMessage");
  EXPECT_EQ(send.Args[0].ToInt(), h2);
  std::optional<std::vector<uint8_t>> bytes = com::BytesFromVariant(send.Args[1]);
  ASSERT_TRUE(bytes);
  QString text = QString::fromLatin1(reinterpret_cast<const char*>(bytes->data()),
                                     static_cast<qsizetype>(bytes->size()));
  EXPECT_FALSE(bytes->empty());
  EXPECT_NE(bytes->back(), 0);  // no terminating zero
  EXPECT_TRUE(text.contains(QRegularExpression("\\d{1,2}:\\d{2}:\\d{2}"))) << text.toStdString();

  Click("btnRemove");
  EXPECT_EQ(main->PeerRowCount(), 1);
  EXPECT_EQ(main->PeerRow(0)[0], "a");
  EXPECT_FALSE(Button("btnRemove")->isEnabled());
}

TEST_F(MainWindow, LoginRequestsAreAcceptedWithTheSavedPassword) {
  Folder.Write("users.con", "[alice]\r\nPswd=wonder\r\n[bob]\r\n");
  main.reset();
  access = std::make_unique<TfAccess>(Folder.Path(), prompts);
  main = std::make_unique<TfMain>(Folder.Path(), *control, THostWindows{*settings, *access, *about}, prompts);
  struct Case {
    std::u16string user, password;
  } cases[] = {{u"alice", u"wonder"}, {u"Alice", u""}, {u"bob", u""}, {u"", u""}, {u"nobody", u""}};
  for (const Case& c : cases) {
    std::u16string password = u"unchanged";
    EXPECT_TRUE(standIn->FireConnectionRequest(c.user, password));
    EXPECT_EQ(password, c.password);
  }
}

TEST_F(MainWindow, BinaryMessagesBecomeLogLinesCutAtTheFirstNul) {
  main->show();
  com::Variant message;
  const uint8_t bytes[] = {'h', 'i', ' ', 0xE9, 0, 'x', 'y'};
  ASSERT_EQ(com::VariantFromBytes(bytes, message.Out()), com::S_OK);
  for (int i = 0; i < 3; ++i) standIn->FireBinaryMessage(101, message);
  EXPECT_THAT(LastLog(), LogLine(QString::fromUtf8("Received binary message: hi \xC3\xA9")));
  EXPECT_EQ(main->LogLines().size(), 5);  // started, where, and one line for each message

  com::Variant notAnArray(u"text");
  standIn->FireBinaryMessage(101, notAnArray);
  EXPECT_EQ(main->LogLines().size(), 5);
  EXPECT_TRUE(prompts.Errors.isEmpty());
  EXPECT_TRUE(prompts.Infos.isEmpty());
}

TEST_F(MainWindow, ACallThatFailsInTheControlIsShownAndTheActionStops) {
  standIn->FailingMember = u"Start";
  main->show();
  ASSERT_EQ(prompts.Errors.size(), 1);
  EXPECT_TRUE(prompts.Errors[0].contains("Start")) << prompts.Errors[0].toStdString();
  EXPECT_TRUE(prompts.Errors[0].contains("stand-in failure")) << prompts.Errors[0].toStdString();
  EXPECT_TRUE(main->LogLines().isEmpty());  // no "server is started"
  EXPECT_FALSE(main->StartFailure().isEmpty());  // a headless program ends on it

  standIn->FailingMember = u"GetPeerName";
  standIn->ConnectPeer(u"a", u"10.0.0.1", 1);
  EXPECT_EQ(main->PeerRowCount(), 0);
  EXPECT_EQ(prompts.Errors.size(), 2);
}

TEST_F(MainWindow, MyIPShowsTheControlsAddressList) {
  standIn->LocalIPs = u"10.0.0.2,127.0.0.1";
  main->ShowMyIP();
  EXPECT_EQ(prompts.Infos, QStringList{kProductName + "|10.0.0.2,127.0.0.1"});
}

TEST_F(MainWindow, APositionOffEveryScreenIsReplacedByACentredOne) {
  Folder.Write("settings.ini", "[Last]\r\nLeft=-30000\r\nTop=-30000\r\n");
  main.reset();
  main = std::make_unique<TfMain>(Folder.Path(), *control, THostWindows{*settings, *access, *about}, prompts);
  QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.contains(main->frameGeometry().center()));

  main->move(40, 30);
  main->close();  // saves the position
  EXPECT_NE(Folder.Read("settings.ini").find("Left=40"), std::string::npos);
  EXPECT_NE(Folder.Read("settings.ini").find("Top=30"), std::string::npos);
}

TEST_F(MainWindow, AFailedSaveOfThePositionIsShown) {
  main.reset();
  main = std::make_unique<TfMain>(Folder.File("no/such/folder/"), *control,
                                  THostWindows{*settings, *access, *about}, prompts);
  main->close();
  ASSERT_EQ(prompts.Errors.size(), 1);
  EXPECT_TRUE(prompts.Errors[0].contains("The window position could not be saved")) << prompts.Errors[0].toStdString();
}

TEST_F(MainWindow, AboutLinkOpensTheHomePage) {
  QUrl opened;
  about->OpenUrl = [&](const QUrl& url) { opened = url; };
  auto* link = about->findChild<QLabel*>("lblHomePage");
  ASSERT_NE(link, nullptr);
  emit link->linkActivated(kHomePage.toString());
  EXPECT_EQ(opened, kHomePage);
}

}  // namespace
}  // namespace tw::test
