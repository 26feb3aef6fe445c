// TfAccess: the "User access" window and the saved users behind it. It loads
// users.con when it is created, answers the server's login requests from the
// saved users (GetPassword), and edits a working copy (TUserAccessEditor)
// modally; Ok makes the copy the saved users and rewrites users.con.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "host/mUserAccess.h"
#include "host/mUsers.h"

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace tw {

class TPrompts;

class TfAccess : public QDialog {
 public:
  TfAccess(std::string folder, TPrompts& prompts, QWidget* parent = nullptr);
  ~TfAccess() override;

  std::u16string GetPassword(std::u16string_view user) { return directory_.GetPassword(user); }
  const TUsers& SavedUsers() const { return directory_.Users(); }
  // Why users.con could not be read when the window was created (no users
  // are loaded then, without a message box); empty when it was read or is
  // missing.
  const std::string& LoadError() const { return loadError_; }

  // Edits the users modally: BeginEdit, the window's own loop, CommitEdits on Ok.
  void ShowEditor();
  // Starts editing copies of the saved users (the first row selected).
  void BeginEdit();
  // Ok: the working copy becomes the saved users and users.con is rewritten;
  // a failed write is shown. Returns whether the file was written.
  bool CommitEdits();
  const TUserAccessEditor* Editor() const { return editor_.get(); }

 private:
  void FillList();
  void ShowSelection();
  void AddUser();
  void RemoveUser();
  void NameEdited(QListWidgetItem* item);
  void PasswordTyped(const QString& text);

  std::string folder_;
  TPrompts& prompts_;
  TUserDirectory directory_;
  std::string loadError_;
  std::unique_ptr<TUserAccessEditor> editor_;
  bool filling_ = false;

  QListWidget* lvUsers_;
  QPushButton* btnAdd_;
  QPushButton* btnRemove_;
  QLineEdit* edPswd_;
};

}  // namespace tw
