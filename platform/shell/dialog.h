// Modal dialogs of controls (the About box) without a GUI toolkit in the
// control: the control describes the dialog and ShowModal hands it to the
// dialog host that the container installed (the Qt host builds a QDialog
// from it). Without one, the default host shows nothing, keeps the last
// dialog it was asked for and answers as if "OK" had been pressed.
//
// The installed host belongs to the process and must outlive its
// installation; install and show on the thread that runs the controls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/shell/canvas.h"

namespace tw::shell {

struct DialogLabel {
  std::u16string text;
  Rect bounds;
};

struct DialogButton {
  std::u16string text;
  Rect bounds;
  bool isDefault = false;  // pressed by Enter
  bool isCancel = false;   // pressed by Escape
  int32_t result = 0;      // what ShowModal answers when it is pressed
};

struct DialogSpec {
  std::u16string caption;
  int32_t clientWidth = 0;
  int32_t clientHeight = 0;
  bool centredOnScreen = false;
  bool dialogBorder = false;     // fixed size, dialog frame
  bool systemMenuOnly = false;   // no minimise, maximise or help icons
  std::vector<DialogLabel> labels;
  std::vector<DialogButton> buttons;
};

constexpr int32_t IDOK = 1;
constexpr int32_t IDCANCEL = 2;

class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // Shows the dialog modally and returns the result of the button that
  // closed it (IDCANCEL when closed otherwise).
  virtual int32_t ShowModal(const DialogSpec& dialog) = 0;
};

// Installs `host` (null: back to the default) and returns the previous one.
DialogHost* SetDialogHost(DialogHost* host);
int32_t ShowModal(const DialogSpec& dialog);

// The default host's record: the last dialog shown through it and how many.
const std::optional<DialogSpec>& LastRecordedDialog();
int RecordedDialogCount();

}  // namespace tw::shell
