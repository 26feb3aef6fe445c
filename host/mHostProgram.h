// The host program twParleySrv: its command line and its windows in
// creation order, over the registered server control.
//
//   twParleySrv [--data-dir DIR] [--exit-after MS]
//
// settings.ini and users.con live in DIR, else in $TWPARLEY_HOST_DIR, else
// in the program's folder. Without a display the program runs off screen.
#pragma once

#include <optional>
#include <string>

namespace tw {

struct THostOptions {
  std::string DataFolder;              // empty: HostDataFolder()
  std::optional<int> ExitAfterMs;      // end the program after this long
  bool Help = false;
};

// Parses the arguments after the program name; nothing (and `error` set)
// when they are not understood.
std::optional<THostOptions> ParseHostOptions(int argc, char** argv, std::string& error);

// Selects the off-screen platform when neither an X nor a Wayland display
// is named and no platform was chosen. Call before QApplication exists.
void ChooseHeadlessPlatform();

// Runs the program; returns its exit code.
int RunHostProgram(int argc, char** argv);

}  // namespace tw
