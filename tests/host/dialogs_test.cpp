// The settings and user access windows, and the bridge that runs the
// platform's timers and messages inside Qt's loops.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "host/mMessageBridge.h"
#include "platform/com/bstr.h"
#include "platform/win32/messages.h"
#include "tests/host/host_windows.h"

namespace tw::test {
namespace {

using ::testing::HasSubstr;

class Dialogs : public ::testing::Test, public THostWindowsFixture {
 protected:
  void SetUp() override { Create(); }
  template <class W>
  W* In(QWidget& window, const char* name) {
    W* w = window.findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Click(QWidget& window, const char* name) {
    QTest::mouseClick(In<QPushButton>(window, name), Qt::LeftButton);
  }
};

TEST_F(Dialogs, SettingsOkWritesTheFileAndTheModeTheMainWindowApplies) {
  settings->show();
  In<QRadioButton>(*settings, "radSecret")->click();
  EXPECT_TRUE(In<QLineEdit>(*settings, "edSecret")->isEnabled());
  EXPECT_FALSE(In<QPushButton>(*settings, "btnGenerate")->isEnabled());
  In<QLineEdit>(*settings, "edSecret")->setText("open sesame");
  In<QLineEdit>(*settings, "edPort")->setText("3333");
  In<QLineEdit>(*settings, "edSrvAddr")->setText("127.0.0.1");
  Click(*settings, "btnOk");

  EXPECT_FALSE(settings->isVisible());
  EXPECT_EQ(settings->result(), QDialog::Accepted);
  EXPECT_EQ(settings->ModeValue(), 1);
  std::string file = Folder.Read("settings.ini");
  EXPECT_THAT(file, HasSubstr("Mode=1\r\n"));
  EXPECT_THAT(file, HasSubstr("SecretKey=open sesame\r\n"));
  EXPECT_THAT(file, HasSubstr("Port=3333\r\n"));
  EXPECT_THAT(file, HasSubstr("ServerAddress=127.0.0.1\r\n"));
  EXPECT_TRUE(prompts.Errors.isEmpty());
}

TEST_F(Dialogs, SettingsCancelDiscardsTheEditsOfTheLastShowing) {
  settings->show();
  In<QLineEdit>(*settings, "edPort")->setText("9999");
  Click(*settings, "btnCancel");
  EXPECT_EQ(Folder.EntryCount(), 0u);
  settings->show();
  EXPECT_EQ(In<QLineEdit>(*settings, "edPort")->text(), "2222");
}

TEST_F(Dialogs, SettingsOkInKeyPairModeNeedsAPublicKey) {
  settings->show();
  In<QRadioButton>(*settings, "radPublic")->click();
  Click(*settings, "btnOk");
  EXPECT_EQ(prompts.Errors, QStringList{"Error!|No Public/Private keys"});
  EXPECT_TRUE(settings->isVisible());
  EXPECT_EQ(Folder.EntryCount(), 0u);
}

TEST_F(Dialogs, SettingsThatCannotBeSavedStillApplyAndTheOperatorIsToldOnce) {
  const std::string nowhere = Folder.File("no/such/folder/");
  TfSettings broken(nowhere, *control, prompts, *info);
  TfMain window(nowhere, *control, THostWindows{broken, *access, *about}, prompts);
  QTimer::singleShot(0, &broken, [&] {
    In<QRadioButton>(broken, "radSecret")->click();
    In<QLineEdit>(broken, "edSecret")->setText("open sesame");
    In<QLineEdit>(broken, "edPort")->setText("3333");
    QTest::mouseClick(In<QPushButton>(broken, "btnOk"), Qt::LeftButton);
    if (broken.isVisible()) broken.done(QDialog::Rejected);  // Ok kept it open: nothing applies
  });
  standIn->ClearCalls();
  window.OpenSettings();

  EXPECT_FALSE(broken.isVisible());
  ASSERT_EQ(prompts.Errors.size(), 1);
  EXPECT_TRUE(prompts.Errors[0].startsWith("Error!|The settings could not be saved")) << prompts.Errors[0].toStdString();
  EXPECT_TRUE(prompts.Errors[0].contains("lost when the program ends")) << prompts.Errors[0].toStdString();
  const auto& calls = standIn->Calls();
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(calls[0].Name, u"put ListeningPort");
  EXPECT_EQ(calls[0].Args[0].ToInt(), 3333);
  EXPECT_EQ(calls[1].Args[0].ToInt(), 1);
  EXPECT_EQ(com::BstrView(calls[4].Args[0].bstrVal), u"open sesame");

  // The next showing shows what the server runs with, not the defaults.
  broken.show();
  EXPECT_EQ(In<QLineEdit>(broken, "edPort")->text(), "3333");
  EXPECT_TRUE(In<QRadioButton>(broken, "radSecret")->isChecked());
  broken.hide();
}

TEST_F(Dialogs, GenerateBlocksTheWindowWhileTheKeysAreMade) {
  settings->show();
  In<QRadioButton>(*settings, "radPublic")->click();
  bool sawBlocked = false;
  standIn->DuringGenerate = [&] {
    EXPECT_TRUE(settings->Generating());
    EXPECT_FALSE(settings->isEnabled());
    EXPECT_TRUE(info->isVisible());
    EXPECT_EQ(info->Message(), "Generating new keys...");
    EXPECT_EQ(info->windowTitle(), "Just a second...");
    settings->Generate();  // a second Generate does nothing
    settings->reject();    // neither Cancel ...
    settings->accept();    // ... nor Ok half way
    sawBlocked = settings->isVisible();
    bool qtRan = false;
    QTimer::singleShot(0, [&] { qtRan = true; });
    win32::ProcessMessages();  // the control pumps while it works, and Qt paints meanwhile
    EXPECT_TRUE(qtRan);
  };
  Click(*settings, "btnGenerate");
  EXPECT_TRUE(sawBlocked);
  auto names = standIn->CallNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), u"GenerateKeypair"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"TakeFingerprint"), 1);
  EXPECT_FALSE(info->isVisible());
  EXPECT_TRUE(settings->isEnabled());
  EXPECT_THAT(In<QPlainTextEdit>(*settings, "mmPublic")->toPlainText().toStdString(), HasSubstr("PUBLICKEY"));
  EXPECT_THAT(In<QPlainTextEdit>(*settings, "mmPrivate")->toPlainText().toStdString(), HasSubstr("PRIVATEKEY"));
  EXPECT_EQ(In<QLineEdit>(*settings, "edFingerprint")->text().left(3), "FP-");
  EXPECT_EQ(Folder.EntryCount(), 0u);  // saved only with Ok

  standIn->DuringGenerate = nullptr;
  standIn->GenerateResult = false;
  QString before = In<QPlainTextEdit>(*settings, "mmPublic")->toPlainText();
  Click(*settings, "btnGenerate");
  EXPECT_EQ(prompts.Errors, QStringList{"Error!|Error generating Public/Private keys"});
  EXPECT_EQ(In<QPlainTextEdit>(*settings, "mmPublic")->toPlainText(), before);
  EXPECT_FALSE(info->isVisible());
}

TEST_F(Dialogs, FingerprintsAreAddedThroughTheInputBoxAndRemovedBySelection) {
  settings->show();
  In<QRadioButton>(*settings, "radPublic")->click();
  prompts.InputAnswer = "Ab3dE5gH7jK9mN1pQ3sT5v==";
  Click(*settings, "btnAdd");
  prompts.InputAnswer = "Zy8xW6vU4tS2rQ0pO8nM6l==";
  Click(*settings, "btnAdd");
  prompts.InputAnswer.reset();
  Click(*settings, "btnAdd");  // cancelled
  auto* list = In<QListWidget>(*settings, "lstFingerprints");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(prompts.Questions[0], "Add|Fingerprint");
  EXPECT_TRUE(prompts.Errors.isEmpty());
  EXPECT_FALSE(In<QPushButton>(*settings, "btnRemove")->isEnabled());
  QRect first = list->visualItemRect(list->item(1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_TRUE(In<QPushButton>(*settings, "btnRemove")->isEnabled());
  Click(*settings, "btnRemove");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->text(), "Ab3dE5gH7jK9mN1pQ3sT5v==");
}

TEST_F(Dialogs, AnEmptyFingerprintIsRefusedButOneFromAnOlderFileIsKeptAndShown) {
  for (const char* blank : {"", "   "}) {
    settings->show();
    In<QRadioButton>(*settings, "radPublic")->click();
    prompts.InputAnswer = blank;
    Click(*settings, "btnAdd");
    EXPECT_EQ(In<QListWidget>(*settings, "lstFingerprints")->count(), 0) << '"' << blank << '"';
    settings->hide();
  }
  EXPECT_EQ(prompts.Errors, (QStringList{"Add|A fingerprint cannot be empty.", "Add|A fingerprint cannot be empty."}));

  // An empty entry read from the file still trusts nothing, and says so.
  Folder.Write("settings.ini", "[Security]\r\nMode=2\r\nPublicKey=K\r\nRemoteFingerprints=\"\",Ab3dE5gH7jK9mN1pQ3sT5v==\r\n");
  settings->show();
  auto* list = In<QListWidget>(*settings, "lstFingerprints");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), kEmptyFingerprintText);
  EXPECT_EQ(settings->Values().RemoteFingerprints,
            (std::vector<std::string>{"", "Ab3dE5gH7jK9mN1pQ3sT5v=="}));
  Click(*settings, "btnOk");
  EXPECT_THAT(Folder.Read("settings.ini"), HasSubstr("RemoteFingerprints=\"\",Ab3dE5gH7jK9mN1pQ3sT5v==\r\n"));
}

class UserAccess : public Dialogs {
 protected:
  QListWidget* List() { return In<QListWidget>(*access, "lvUsers"); }
  QStringList Rows() {
    QStringList rows;
    for (int i = 0; i < List()->count(); ++i) rows << List()->item(i)->text();
    return rows;
  }
};

TEST_F(UserAccess, AddNamesNewUsersAndOpensTheNameForEditing) {
  Folder.Write("users.con", "[newuser1]\r\nPswd=x\r\n");
  access = std::make_unique<TfAccess>(Folder.Path(), prompts);
  access->BeginEdit();
  access->show();
  Click(*access, "btnAdd");
  Click(*access, "btnAdd");
  EXPECT_EQ(Rows(), (QStringList{"newuser1", "NewUser2", "NewUser3"}));
  EXPECT_EQ(List()->currentRow(), 2);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the closed editor of NewUser2
  auto* nameEditor = List()->findChild<QLineEdit*>();  // the in-place editor of the new row
  ASSERT_NE(nameEditor, nullptr);
  EXPECT_EQ(nameEditor->text(), "NewUser3");
  EXPECT_TRUE(In<QLineEdit>(*access, "edPswd")->isEnabled());
  EXPECT_EQ(In<QLineEdit>(*access, "edPswd")->text(), "");
}

TEST_F(UserAccess, NamesEditedInPlaceAreStoredOrRefused) {
  Folder.Write("users.con", "[alice]\r\nPswd=wonder\r\n[bob]\r\nPswd=builder\r\n");
  access = std::make_unique<TfAccess>(Folder.Path(), prompts);
  access->BeginEdit();
  access->show();
  List()->item(1)->setText("GUEST");
  EXPECT_EQ(Rows(), (QStringList{"alice", "_GUEST"}));
  List()->item(0)->setText(" alice");  // would not survive a reload
  EXPECT_EQ(Rows(), (QStringList{"alice", "_GUEST"}));
  ASSERT_EQ(prompts.Errors.size(), 1);
  EXPECT_TRUE(prompts.Errors[0].contains("cannot be a user name"));

  List()->setCurrentRow(0);
  QTest::keyClicks(In<QLineEdit>(*access, "edPswd"), "  ");  // typed blanks around a password
  In<QLineEdit>(*access, "edPswd")->clear();
  QTest::keyClicks(In<QLineEdit>(*access, "edPswd"), "  new pw  ");
  EXPECT_TRUE(access->CommitEdits());
  EXPECT_EQ(access->SavedUsers(), (TUsers{{"alice", "new pw"}, {"_GUEST", "builder"}}));
  EXPECT_EQ(access->GetPassword(u"alice"), u"new pw");
  EXPECT_THAT(Folder.Read("users.con"), HasSubstr("[_GUEST]\r\nPswd=builder\r\n"));
}

TEST_F(UserAccess, RemoveAsksThenSelectsTheNextOrTheFirstRow) {
  Folder.Write("users.con", "[a]\r\nPswd=1\r\n[b]\r\nPswd=2\r\n[c]\r\nPswd=3\r\n");
  access = std::make_unique<TfAccess>(Folder.Path(), prompts);
  access->BeginEdit();
  access->show();
  prompts.ConfirmAnswer = false;
  Click(*access, "btnRemove");
  EXPECT_EQ(Rows(), (QStringList{"a", "b", "c"}));
  EXPECT_EQ(prompts.Questions, QStringList{"Warning!|a will be deleted! Are you sure?"});

  prompts.ConfirmAnswer = true;
  List()->setCurrentRow(2);
  Click(*access, "btnRemove");
  EXPECT_EQ(Rows(), (QStringList{"a", "b"}));
  EXPECT_EQ(List()->currentRow(), 0);  // the last row went: the first is selected
  Click(*access, "btnRemove");
  Click(*access, "btnRemove");
  EXPECT_TRUE(Rows().isEmpty());
  EXPECT_FALSE(In<QLineEdit>(*access, "edPswd")->isEnabled());
  EXPECT_FALSE(In<QPushButton>(*access, "btnRemove")->isEnabled());
  // Nothing reaches the file or the saved users without Ok.
  EXPECT_EQ(access->SavedUsers().size(), 3u);
  EXPECT_EQ(access->GetPassword(u"b"), u"2");
}

TEST_F(UserAccess, ASaveThatFailsIsShown) {
  TfAccess broken(Folder.File("no/such/folder/"), prompts);
  broken.BeginEdit();
  broken.show();
  QTest::mouseClick(In<QPushButton>(broken, "btnAdd"), Qt::LeftButton);
  EXPECT_FALSE(broken.CommitEdits());
  ASSERT_EQ(prompts.Errors.size(), 1);
  EXPECT_TRUE(prompts.Errors[0].startsWith("Error!|The users could not be saved"));
}

TEST(MessageBridge, PlatformTimersAndMessagesRunInsideAModalDialogsLoop) {
  OffscreenApp();
  TMessageBridge bridge;
  QDialog dialog;
  int ticks = 0;
  bool posted = false;
  win32::HWND window = win32::CreateMessageWindow([&](win32::HWND w, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    if (msg == win32::WM_USER + 7) posted = true;
    if (msg == win32::WM_TIMER && ++ticks == 3) {
      win32::KillTimer(w, 1);
      dialog.done(42);
    }
    return win32::LRESULT{0};
  });
  QTimer::singleShot(0, &dialog, [&] {
    win32::SetTimer(window, 1, 5);  // set from inside the modal loop
    win32::PostMessageA(window, win32::WM_USER + 7, 0, 0);
  });
  QTimer::singleShot(3000, &dialog, [&] { dialog.done(-1); });  // a guard, never reached when it works
  dialog.setModal(true);
  EXPECT_EQ(dialog.exec(), 42);
  EXPECT_TRUE(posted);
  EXPECT_EQ(ticks, 3);
  win32::DestroyWindow(window);
}

}  // namespace
}  // namespace tw::test
