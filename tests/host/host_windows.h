// Shared pieces of the window tests: one off-screen QApplication for the
// process, prompts that answer in place of an operator, and the program's
// windows over a stand-in control, in a temporary data folder.
#pragma once

#include <QApplication>
#include <QStringList>
#include <memory>
#include <optional>

#include "host/mServerControl.h"
#include "tests/support/stand_in_control.h"
#include "host/uAbout.h"
#include "host/uAccess.h"
#include "host/uInfo.h"
#include "host/uMain.h"
#include "host/uPrompts.h"
#include "host/uSettings.h"
#include "tests/support/temp_folder.h"

namespace tw::test {

// The application lives until the test program ends (a test environment
// deletes it after the last test).
QApplication& OffscreenApp();

class TRecordingPrompts final : public TPrompts {
 public:
  QStringList Errors, Infos, Questions;
  bool ConfirmAnswer = true;
  std::optional<QString> InputAnswer;

  void Error(QWidget*, const QString& title, const QString& text) override { Errors << title + "|" + text; }
  void Inform(QWidget*, const QString& title, const QString& text) override { Infos << title + "|" + text; }
  bool Confirm(QWidget*, const QString& title, const QString& text) override {
    Questions << title + "|" + text;
    return ConfirmAnswer;
  }
  std::optional<QString> Input(QWidget*, const QString& title, const QString& prompt) override {
    Questions << title + "|" + prompt;
    return InputAnswer;
  }
};

// The windows in the program's order, over a stand-in control or the one
// given to Create(). Files the test writes into Folder before Create() are
// what the windows load.
struct THostWindowsFixture {
  THostWindowsFixture() { OffscreenApp(); }

  void Create(com::ComPtr<com::IDispatch> real = {}) {
    control = std::make_unique<TServerControl>(real ? real : com::ComPtr<com::IDispatch>(standIn.Get()));
    info = std::make_unique<TfInfo>();
    about = std::make_unique<TfAbout>();
    settings = std::make_unique<TfSettings>(Folder.Path(), *control, prompts, *info);
    access = std::make_unique<TfAccess>(Folder.Path(), prompts);
    main = std::make_unique<TfMain>(Folder.Path(), *control, THostWindows{*settings, *access, *about},
                                    prompts);
  }

  TempFolder Folder;
  TRecordingPrompts prompts;
  com::ComPtr<TStandInControl> standIn = com::MakeComObject<TStandInControl>();
  std::unique_ptr<TServerControl> control;
  std::unique_ptr<TfInfo> info;
  std::unique_ptr<TfAbout> about;
  std::unique_ptr<TfSettings> settings;
  std::unique_ptr<TfAccess> access;
  std::unique_ptr<TfMain> main;
};

}  // namespace tw::test
