// Start-up: the control is created first (every window that talks to it
// borrows it), then the windows; showing the main window applies the
// settings and starts the server.
#include "host/mHostProgram.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "host/mDataFolder.h"
#include "host/mMessageBridge.h"
#include "host/mServerControl.h"
#include "host/mSettings.h"
#include "host/mStandInControl.h"
#include "host/mUsers.h"
#include "host/uAbout.h"
#include "host/uAccess.h"
#include "host/uInfo.h"
#include "host/uMain.h"
#include "host/uPrompts.h"
#include "host/uSettings.h"
#include "platform/com/variant.h"

namespace tw {
namespace {

constexpr char kUsage[] =
    "usage: twParleySrv [--data-dir DIR] [--exit-after MS] [--stand-in] [--screenshots DIR]\n"
    "  --data-dir DIR     keep settings.ini and users.con in DIR\n"
    "                     (default: $TWPARLEY_HOST_DIR, else the program's folder)\n"
    "  --exit-after MS    end the program after MS milliseconds\n"
    "  --stand-in         run against an in-process stand-in of the server control\n"
    "  --screenshots DIR  write every window, filled with sample data, as PNG files to DIR\n";

bool IsHeadless() {
  QString platform = QGuiApplication::platformName();
  return platform == "offscreen" || platform == "minimal";
}

// A failure before the main window exists: on the terminal, and in a box
// when someone can see it.
void ReportStartFailure(const QString& text) {
  std::fprintf(stderr, "twParleySrv: %s\n", text.toUtf8().constData());
  if (!IsHeadless()) TQtPrompts().Error(nullptr, kProductName, text);
}

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
    ReportStartFailure("Cannot create the folder " + dir.path());
    return 1;
  }
  QTemporaryDir data;
  std::string folder = data.path().toStdString() + "/";
  WriteSampleFiles(folder);

  TConsolePrompts prompts;  // no box is expected; none may block
  auto standIn = com::MakeComObject<TStandInControl>();
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

std::optional<THostOptions> ParseHostOptions(int argc, char** argv, std::string& error) {
  THostOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--data-dir" || arg == "--screenshots" || arg == "--exit-after") {
      const char* v = value();
      if (!v || !*v) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      if (arg == "--data-dir") options.DataFolder = v;
      if (arg == "--screenshots") options.ScreenshotFolder = v;
      if (arg == "--exit-after") {
        char* end = nullptr;
        long ms = std::strtol(v, &end, 10);
        if (*end != '\0' || ms < 0 || ms > 24L * 3600 * 1000) {
          error = "--exit-after takes a number of milliseconds";
          return std::nullopt;
        }
        options.ExitAfterMs = static_cast<int>(ms);
      }
    } else if (arg == "--stand-in") {
      options.StandIn = true;
    } else if (arg == "--help" || arg == "-h") {
      options.Help = true;
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  return options;
}

void ChooseHeadlessPlatform() {
  auto unset = [](const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr || *v == '\0';
  };
  if (unset("DISPLAY") && unset("WAYLAND_DISPLAY") && unset("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

int RunHostProgram(int argc, char** argv) {
  std::string error;
  std::optional<THostOptions> options = ParseHostOptions(argc, argv, error);
  if (!options || options->Help) {
    if (!options) std::fprintf(stderr, "twParleySrv: %s\n", error.c_str());
    std::fputs(kUsage, options ? stdout : stderr);
    return options ? 0 : 2;
  }
  ChooseHeadlessPlatform();
  QApplication app(argc, argv);
  QApplication::setApplicationName(kProductName);
  QApplication::setApplicationDisplayName(kProductName);
  TMessageBridge bridge;

  if (!options->ScreenshotFolder.empty()) return WriteScreenshots(options->ScreenshotFolder);

  std::string folder = options->DataFolder.empty() ? HostDataFolder() : FileInFolder(options->DataFolder, "");
  com::ComPtr<com::IDispatch> dispatch;
  if (options->StandIn) {
    dispatch = com::ComPtr<com::IDispatch>(com::MakeComObject<TStandInControl>().Get());
  } else {
    dispatch = CreateServerControl(error);
  }
  if (!dispatch) {
    ReportStartFailure(QString::fromStdString(error));
    return 1;
  }
  std::unique_ptr<TServerControl> control;
  try {
    control = std::make_unique<TServerControl>(dispatch);
  } catch (const std::exception& e) {
    ReportStartFailure(QString::fromUtf8(e.what()));
    return 1;
  }

  TQtPrompts boxes;
  TConsolePrompts console;
  TPrompts& prompts = IsHeadless() ? static_cast<TPrompts&>(console) : boxes;
  TfInfo info;
  TfAbout about;
  TfSettings settings(folder, *control, prompts, info);
  TfAccess access(folder, prompts);
  TfMain main(folder, *control, {settings, access, about}, prompts);
  if (IsHeadless()) {
    main.LogEcho = [](const QString& line) {
      std::printf("%s\n", line.toUtf8().constData());
      std::fflush(stdout);
    };
  }
  main.show();
  if (options->ExitAfterMs) {
    QTimer::singleShot(*options->ExitAfterMs, &main, [&main] {
      main.close();
      QCoreApplication::exit(0);  // also ends a modal loop that is open
    });
  }
  return app.exec();
}

}  // namespace tw
