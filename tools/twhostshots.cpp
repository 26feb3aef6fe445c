// twhostshots DIR: a developer tool (not part of the product) that renders
// every window of the host program, filled with sample data, as PNG files
// into DIR. The windows run over the test stand-in of the server control, so
// the pictures show peers, a log and keys without a network.
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>
#include <cstdio>

#include "host/mHostProgram.h"
#include "host/mMessageBridge.h"
#include "host/mServerControl.h"
#include "host/mSettings.h"
#include "host/mUsers.h"
#include "host/uAbout.h"
#include "host/uAccess.h"
#include "host/uInfo.h"
#include "host/uMain.h"
#include "host/uPrompts.h"
#include "host/uSettings.h"
#include "platform/com/variant.h"
#include "tests/support/stand_in_control.h"

namespace tw {
namespace {

// Sample files for the screenshots.
void WriteSampleFiles(const std::string& folder) {
  THostSettings s;
  s.Mode = 2;
  s.PublicKey = "q3Vx0Jm2c9T1bq8yJrKf3a0Lw7uB5nZQe6Hh2Xo4Pd1Gm8Rt0Ks9Yv3Cw5Na7Ub";
  s.PrivateKey = "Zk2Lm9Qx4Rb7Tc1Vn8Wd3Ye6Pf0Gh5Ji2Ok9Ql4Sm7Tn1Uo8Vp3Wq6Xr0Ys5Zt";
  s.LocalFingerprint = "3Jq9mD1xkR8vT0bYw2LcZg==";
  s.RemoteFingerprints = {"Ab3dE5gH7jK9mN1pQ3sT5v==", "Zy8xW6vU4tS2rQ0pO8nM6l=="};
  s.Save(folder);
  SaveUsers(folder, {{"alice", "wonder"}, {"bob", "builder"}, {"carol", "x"}});
}

QString Grab(QWidget& window, const QDir& dir, const char* name) {
  window.show();
  QApplication::processEvents();
  QString path = dir.filePath(name);
  return window.grab().save(path, "PNG") ? path : QString();
}

int WriteScreenshots(const std::string& target) {
  QDir dir(QString::fromStdString(target));
  if (!dir.mkpath(".")) {
    std::fprintf(stderr, "twhostshots: cannot create the folder %s\n", dir.path().toUtf8().constData());
    return 1;
  }
  QTemporaryDir data;
  std::string folder = data.path().toStdString() + "/";
  WriteSampleFiles(folder);

  TConsolePrompts prompts;  // no box is expected; none may block
  auto standIn = com::MakeComObject<test::TStandInControl>();
  standIn->LocalIPs = u"192.168.1.20,10.0.0.2";
  TServerControl control(com::ComPtr<com::IDispatch>(standIn.Get()));
  TfInfo info;
  TfAbout about;
  TfSettings settings(folder, control, prompts, info);
  TfAccess access(folder, prompts);
  TfMain main(folder, control, {settings, access, about}, prompts);

  main.show();  // applies the settings and starts the server
  standIn->ConnectPeer(u"alice", u"10.0.0.5", 51000);
  standIn->ConnectPeer(u"", u"10.0.0.7", 51012);
  standIn->ConnectPeer(u"bob", u"127.0.0.1", 40211);
  standIn->FirePeerRejected(u"mallory", u"10.0.0.9", 51100, 4);
  com::Variant hello;
  const uint8_t bytes[] = {'H', 'e', 'l', 'l', 'o', ' ', 'h', 'o', 's', 't'};
  com::VariantFromBytes(bytes, hello.Out());
  standIn->FireBinaryMessage(101, hello);
  main.SelectPeerRow(0);

  QStringList written;
  written << Grab(main, dir, "main.png");
  written << Grab(settings, dir, "settings-security.png");
  if (auto* tabs = settings.findChild<QTabWidget*>()) tabs->setCurrentIndex(1);
  written << Grab(settings, dir, "settings-options.png");
  settings.hide();
  access.BeginEdit();
  written << Grab(access, dir, "users.png");
  access.hide();
  written << Grab(about, dir, "about.png");
  about.hide();
  info.ShowInfo("Just a second...", "Generating new keys...");
  written << Grab(info, dir, "info.png");
  info.hide();

  bool ok = true;
  for (const QString& path : written) {
    if (path.isEmpty()) ok = false;
    else std::printf("%s\n", path.toUtf8().constData());
  }
  main.hide();
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace tw

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: twhostshots DIR\n  writes every window of the host program as PNG files to DIR\n", stderr);
    return 2;
  }
  tw::ChooseHeadlessPlatform();
  QApplication app(argc, argv);
  QApplication::setApplicationName(tw::kProductName);
  tw::TMessageBridge bridge;
  return tw::WriteScreenshots(argv[1]);
}
