// Modal dialogs of controls (the About box) and their context menus without
// a GUI toolkit in the control: the control describes the dialog or menu and
// ShowModal or Popup hands it to the dialog host that the container installed
// (the Qt host builds a QDialog from a dialog). Without one, the default host
// shows nothing, keeps the last dialog and menu it was asked for, answers as
// if "OK" had been pressed and no menu item chosen, and puts the cursor at (0, 0).
//
// The installed host belongs to the process and must outlive its
// installation; install and show on the thread that runs the controls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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

struct Point {
  int32_t x = 0, y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

// A control's context menu: its items, and whether the control shows it by
// itself when the user asks for a context menu.
struct PopupMenu {
  std::vector<std::u16string> items;
  bool autoPopup = true;
};

class DialogHost {
 public:
  virtual ~DialogHost() = default;
  // Shows the dialog modally and returns the result of the button that
  // closed it (IDCANCEL when closed otherwise).
  virtual int32_t ShowModal(const DialogSpec& dialog) = 0;
  // Shows `menu` at screen position `at` and returns the index of the item
  // chosen, -1 when none was. The default shows nothing and answers -1.
  virtual int32_t Popup(const PopupMenu& menu, Point at);
  // The mouse cursor's screen position. The default answers (0, 0).
  virtual Point CursorPos();
};

// Installs `host` (null: back to the default) and returns the previous one.
DialogHost* SetDialogHost(DialogHost* host);
int32_t ShowModal(const DialogSpec& dialog);
int32_t Popup(const PopupMenu& menu, Point at);
Point CursorPos();

// The default host's record: the last dialog shown through it and how many,
// and the last menu it was asked to pop up with its position.
const std::optional<DialogSpec>& LastRecordedDialog();
int RecordedDialogCount();
const std::optional<std::pair<PopupMenu, Point>>& LastRecordedPopup();

}  // namespace tw::shell
