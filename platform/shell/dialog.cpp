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
  std::optional<DialogSpec> last;
  int count = 0;
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

DialogHost* SetDialogHost(DialogHost* host) {
  DialogHost* previous = Installed();
  Installed() = host;
  return previous ? previous : &Recorder();
}

int32_t ShowModal(const DialogSpec& dialog) {
  DialogHost* host = Installed();
  return host ? host->ShowModal(dialog) : Recorder().ShowModal(dialog);
}

const std::optional<DialogSpec>& LastRecordedDialog() { return Recorder().last; }
int RecordedDialogCount() { return Recorder().count; }

}  // namespace tw::shell
