// Start-up: the control is created first (every window that talks to it
// borrows it), then the windows; showing the main window applies the
// settings and starts the server.
#include "host/mHostProgram.h"

// The socket layer's header comes before any header that may pull in the
// system's socket headers.
#include "platform/winsock/winsock.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "host/mDataFolder.h"
#include "host/mMessageBridge.h"
#include "host/mServerControl.h"
#include "host/mSettings.h"
#include "host/uAbout.h"
#include "host/uAccess.h"
#include "host/uInfo.h"
#include "host/uMain.h"
#include "host/uPrompts.h"
#include "host/uSettings.h"

namespace tw {
namespace {

constexpr char kUsage[] =
    "usage: twParleySrv [--data-dir DIR] [--exit-after MS]\n"
    "  --data-dir DIR     keep settings.ini and users.con in DIR\n"
    "                     (default: $TWPARLEY_HOST_DIR, else the program's folder)\n"
    "  --exit-after MS    end the program after MS milliseconds\n";

bool IsHeadless() {
  QString platform = QGuiApplication::platformName();
  return platform == "offscreen" || platform == "minimal";
}

// Qt warns on every start without XDG_RUNTIME_DIR (a headless run, a shell
// without a login session), though the program never uses that folder:
// the warning stays out of the program's output.
QtMessageHandler g_qtHandler = nullptr;

void FilterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtWarningMsg && message.contains(QLatin1String("XDG_RUNTIME_DIR"))) return;
  if (g_qtHandler) g_qtHandler(type, context, message);
}

// A failure before the main window exists: on the terminal, and in a box
// when someone can see it.
void ReportStartFailure(const QString& text) {
  std::fprintf(stderr, "twParleySrv: %s\n", text.toUtf8().constData());
  if (!IsHeadless()) TQtPrompts().Error(nullptr, kProductName, text);
}

}  // namespace

std::optional<THostOptions> ParseHostOptions(int argc, char** argv, std::string& error) {
  THostOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--data-dir" || arg == "--exit-after") {
      const char* v = value();
      if (!v || !*v) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      if (arg == "--data-dir") options.DataFolder = v;
      if (arg == "--exit-after") {
        char* end = nullptr;
        long ms = std::strtol(v, &end, 10);
        if (*end != '\0' || ms < 0 || ms > 24L * 3600 * 1000) {
          error = "--exit-after takes a number of milliseconds";
          return std::nullopt;
        }
        options.ExitAfterMs = static_cast<int>(ms);
      }
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
  // A host with many peers needs a descriptor each, and Qt needs some of its
  // own: running out would refuse clients or end the program.
  ws::RaiseDescriptorLimit();
  ChooseHeadlessPlatform();
  g_qtHandler = qInstallMessageHandler(FilterQtMessages);
  QApplication app(argc, argv);
  QApplication::setApplicationName(kProductName);
  QApplication::setApplicationDisplayName(kProductName);
  TMessageBridge bridge;

  std::string folder = options->DataFolder.empty() ? HostDataFolder() : FileInFolder(options->DataFolder, "");
  // A settings file that exists but cannot be read is not taken for a
  // missing one: its defaults would run the server without encryption.
  if (TFileResult read = THostSettings().Load(folder); !read) {
    ReportStartFailure("Cannot start the server: " + QString::fromStdString(read.Error));
    return 1;
  }
  com::ComPtr<com::IDispatch> dispatch = CreateServerControl(error);
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
  if (!access.LoadError().empty())
    main.Log("No users loaded, so only logins without a user name can enter: " +
             QString::fromStdString(access.LoadError()));
  main.show();
  // Without a display nobody can mend the settings and press Start: a
  // refused or failed start ends the program.
  if (IsHeadless() && !main.StartFailure().isEmpty()) return 1;
  if (options->ExitAfterMs) {
    QTimer::singleShot(*options->ExitAfterMs, &main, [&main] {
      main.close();
      QCoreApplication::exit(0);  // also ends a modal loop that is open
    });
  }
  return app.exec();
}

}  // namespace tw
