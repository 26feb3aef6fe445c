// The default dialog host records instead of showing: the default button's
// result is the answer a user pressing Enter would give.
#include "platform/shell/dialog.h"

namespace tw::shell {

namespace {

class RecordingDialogHost final : public DialogHost {
 public:
  int32_t ShowModal(const DialogSpec& dialog) override {
    last = dialog;
    ++count;
    for (const DialogButton& b : dialog.buttons)
      if (b.isDefault) return b.result;
    return IDCANCEL;
  }
  int32_t Popup(const PopupMenu& menu, Point at) override {
    lastPopup.emplace(menu, at);
    return -1;
  }
  std::optional<DialogSpec> last;
  int count = 0;
  std::optional<std::pair<PopupMenu, Point>> lastPopup;
};

RecordingDialogHost& Recorder() {
  static RecordingDialogHost recorder;
  return recorder;
}

DialogHost*& Installed() {
  static DialogHost* host = nullptr;
  return host;
}

}  // namespace

int32_t DialogHost::Popup(const PopupMenu&, Point) { return -1; }
Point DialogHost::CursorPos() { return {}; }

DialogHost* SetDialogHost(DialogHost* host) {
  DialogHost* previous = Installed();
  Installed() = host;
  return previous ? previous : &Recorder();
}

int32_t ShowModal(const DialogSpec& dialog) {
  DialogHost* host = Installed();
  return host ? host->ShowModal(dialog) : Recorder().ShowModal(dialog);
}

int32_t Popup(const PopupMenu& menu, Point at) {
  DialogHost* host = Installed();
  return host ? host->Popup(menu, at) : Recorder().Popup(menu, at);
}

Point CursorPos() {
  DialogHost* host = Installed();
  return host ? host->CursorPos() : Recorder().CursorPos();
}

const std::optional<std::pair<PopupMenu, Point>>& LastRecordedPopup() { return Recorder().lastPopup; }

const std::optional<DialogSpec>& LastRecordedDialog() { return Recorder().last; }
int RecordedDialogCount() { return Recorder().count; }

}  // namespace tw::shell
