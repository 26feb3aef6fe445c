// The host's windows over the real server control, as the program runs
// them: the control library registered in a temporary registry and created
// by its class identifier, its timers and events served inside Qt's event
// loop by the message bridge, and clients that log in over loopback with
// the users of users.con.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "host/mMessageBridge.h"
#include "tests/host/host_windows.h"
#include "tests/server/control_container.h"

namespace tw::test {
namespace {

constexpr int kWaitMs = 5000;

// A log line without its time stamp ("hh:mm:ss: ").
QString Message(const QString& line) { return line.mid(line.indexOf(": ") + 2); }

class HostWithRealControl : public ::testing::Test, public THostWindowsFixture {
 protected:
  void SetUp() override {
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    Folder.Write("settings.ini", "[Options]\r\nPort=0\r\nServerAddress=127.0.0.1\r\n");
    Folder.Write("users.con", "[alice]\r\nPswd=wonder\r\n");
    std::string error;
    com::ComPtr<com::IDispatch> real = CreateServerControl(error);
    ASSERT_TRUE(real) << error;
    Create(real);
    bridge = std::make_unique<TMessageBridge>();
    main->show();  // applies the settings and starts the server
    ASSERT_EQ(main->StatusText(0), " Started");
    // Port 0 lets the system choose; the process listens on that port only.
    std::vector<uint16_t> ports = ListeningPorts();
    ASSERT_EQ(ports.size(), 1u);
    port = ports[0];
    // The transport shows a loopback peer by the machine's first address.
    QString first = QString::fromStdU16String(control->LocalIPList()).section(',', 0, 0);
    address = first.isEmpty() ? "127.0.0.1" : first.toStdString();
  }

  void TearDown() override {
    clients.clear();
    main.reset();
    access.reset();
    settings.reset();
    about.reset();
    info.reset();
    control.reset();
    // The control's deferred destruction runs from the platform queue.
    win32::RunUntil([] { return LoadedCanUnloadNow() != S_FALSE; }, kWaitMs);
    bridge.reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedLibraryCount(), 0u) << "the host kept a reference to the control";
  }

  bool WaitFor(const std::function<bool()>& done) { return QTest::qWaitFor(done, kWaitMs); }
  std::string LastLog() const {
    return main->LogLines().isEmpty() ? std::string() : Message(main->LogLines().back()).toStdString();
  }
  std::string WholeLog() const { return main->LogLines().join('\n').toStdString(); }
  void Click(const char* button) { QTest::mouseClick(main->findChild<QPushButton*>(button), Qt::LeftButton); }

  // A client that dials the server and logs in; its mill pumps on its own
  // thread and delivers on this one.
  TClient& Dial(const std::u16string& user, const std::u16string& password) {
    clients.push_back(std::make_unique<TClient>());
    TClient& c = *clients.back();
    c.pipe = c.mill->OpenSession(u"127.0.0.1", port, kParleyAppId, user, password);
    EXPECT_NE(c.pipe, nullptr);
    return c;
  }

  TempRegistryDir registry;
  std::unique_ptr<TMessageBridge> bridge;
  std::vector<std::unique_ptr<TClient>> clients;
  uint16_t port = 0;
  std::string address;  // a client's address as the server sees it
};

TEST_F(HostWithRealControl, ServesAUserFromUsersConThenRejectsRemovesAndSendsBytes) {
  // A user of users.con logs in, says it is ready and is listed.
  TClient& alice = Dial(u"alice", u"wonder");
  ASSERT_TRUE(WaitFor([&] { return alice.State() == psSession || alice.State() == psClosed; }));
  ASSERT_EQ(alice.State(), psSession);
  alice.Send(CMD_READY);
  ASSERT_TRUE(WaitFor([&] { return main->PeerRowCount() == 1; }));
  const std::string alicePort = std::to_string(alice.pipe->LocalPort);
  QStringList row = main->PeerRow(0);
  ASSERT_EQ(row.size(), 5);
  EXPECT_EQ(row[0].toStdString(), "alice");
  EXPECT_EQ(row[1].toStdString(), address);
  EXPECT_EQ(row[2].toStdString(), alicePort);
  EXPECT_EQ(row[4].toStdString(), "Connected");
  EXPECT_EQ(LastLog(), "New peer at " + address + ":" + alicePort);
  EXPECT_EQ(main->StatusText(1).toStdString(), " 1 connection(s)");

  // What the peer sends shows in the log.
  alice.Send(CMD_BINARY, StrToField("hello host"));
  ASSERT_TRUE(WaitFor([&] { return LastLog() == "Received binary message: hello host"; })) << WholeLog();

  // Bytes: the local date and time as text, without a terminating zero.
  main->SelectPeerRow(0);
  const QDateTime before = QDateTime::currentDateTime();
  Click("btnBytes");
  const QDateTime after = QDateTime::currentDateTime();
  ASSERT_TRUE(WaitFor([&] { return alice.Count(CMD_BINARY) == 1; }));
  std::string body = alice.got.back().second;
  const QString sent = QString::fromStdString(ReadStrField(body));
  auto stamp = [](const QDateTime& t) { return ShortDateText(t.date()) + " " + LongTimeText(t.time()); };
  EXPECT_TRUE(sent == stamp(before) || sent == stamp(after)) << sent.toStdString();

  // The right user with a wrong password fails the challenge and is logged.
  TClient& intruder = Dial(u"alice", u"guess");
  const std::string rejected = "Rejected peer: alice at " + address + ":";
  ASSERT_TRUE(WaitFor([&] { return LastLog().starts_with(rejected); })) << WholeLog();
  EXPECT_EQ(LastLog(), rejected + std::to_string(intruder.pipe->LocalPort) + "  Error- " +
                           std::to_string(ReasonCode(crPassword)));
  EXPECT_NE(intruder.State(), psSession);
  EXPECT_EQ(main->PeerRowCount(), 1);

  // Remove: the control reports the disconnection inside the call.
  main->SelectPeerRow(0);
  Click("btnRemove");
  EXPECT_EQ(main->PeerRowCount(), 0);
  EXPECT_EQ(LastLog(), "Disconnected peer alice Error-1");
  EXPECT_EQ(main->StatusText(1).toStdString(), " No active connection");
  EXPECT_TRUE(WaitFor([&] { return alice.State() == psClosed; }));
}

}  // namespace
}  // namespace tw::test
