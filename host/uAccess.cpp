// The list shows the editor's rows one to one; every action goes to the
// editor first and the list is brought in line with what it then holds.
#include "host/uAccess.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "host/uInfo.h"
#include "host/uPrompts.h"

namespace tw {

TfAccess::TfAccess(std::string folder, TPrompts& prompts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      folder_(std::move(folder)),
      prompts_(prompts) {
  setObjectName("fAccess");
  setWindowTitle("User access");
  setModal(true);

  auto* usersBox = new QGroupBox(" Users ", this);
  lvUsers_ = new QListWidget(usersBox);
  lvUsers_->setObjectName("lvUsers");
  lvUsers_->setSelectionMode(QAbstractItemView::SingleSelection);
  lvUsers_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
  btnAdd_ = new QPushButton("Add", usersBox);
  btnAdd_->setObjectName("btnAdd");
  btnRemove_ = new QPushButton("Remove", usersBox);
  btnRemove_->setObjectName("btnRemove");
  btnRemove_->setEnabled(false);
  auto* usersButtons = new QHBoxLayout;
  usersButtons->addWidget(btnAdd_);
  usersButtons->addWidget(btnRemove_);
  auto* usersLayout = new QVBoxLayout(usersBox);
  usersLayout->addWidget(lvUsers_);
  usersLayout->addLayout(usersButtons);

  auto* passwordBox = new QGroupBox(" Password ", this);
  edPswd_ = new QLineEdit(passwordBox);
  edPswd_->setObjectName("edPswd");
  edPswd_->setEnabled(false);
  (new QVBoxLayout(passwordBox))->addWidget(edPswd_);

  auto* ok = new QPushButton("Ok", this);
  ok->setObjectName("btnOk");
  ok->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("btnCancel");
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(usersBox);
  layout->addWidget(passwordBox);
  layout->addLayout(buttons);
  setFixedSize(QSize(260, 340));

  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(btnAdd_, &QPushButton::clicked, this, [this] { AddUser(); });
  connect(btnRemove_, &QPushButton::clicked, this, [this] { RemoveUser(); });
  connect(lvUsers_, &QListWidget::itemSelectionChanged, this, [this] {
    if (filling_ || !editor_) return;
    int row = lvUsers_->currentRow();
    bool selected = row >= 0 && !lvUsers_->selectedItems().isEmpty();
    editor_->Select(selected ? std::optional<size_t>(static_cast<size_t>(row)) : std::nullopt);
    ShowSelection();
  });
  connect(lvUsers_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) { NameEdited(item); });
  connect(edPswd_, &QLineEdit::textEdited, this, [this](const QString& text) { PasswordTyped(text); });

  TUsers users;
  if (TFileResult loaded = LoadUsers(folder_, users); loaded)
    directory_.Assign(std::move(users));
  else
    loadError_ = loaded.Error;
}

TfAccess::~TfAccess() = default;

void TfAccess::ShowEditor() {
  BeginEdit();
  CentreOnScreen(*this);
  if (exec() == QDialog::Accepted) CommitEdits();
  editor_.reset();
}

void TfAccess::BeginEdit() {
  editor_ = std::make_unique<TUserAccessEditor>(directory_.Users());
  FillList();
}

bool TfAccess::CommitEdits() {
  if (!editor_) return false;
  TFileResult saved = ApplyUserEdits(*editor_, directory_, folder_);
  if (!saved) {
    prompts_.Error(this, "Error!", "The users could not be saved: " + QString::fromStdString(saved.Error));
    return false;
  }
  return true;
}

void TfAccess::FillList() {
  {
    QSignalBlocker block(lvUsers_);
    filling_ = true;
    lvUsers_->clear();
    for (size_t row = 0; row < editor_->Users().size(); ++row) {
      auto* item = new QListWidgetItem(QString::fromStdU16String(editor_->RowText(row)));
      item->setFlags(item->flags() | Qt::ItemIsEditable);
      lvUsers_->addItem(item);
    }
    if (std::optional<size_t> sel = editor_->Selected()) {
      lvUsers_->setCurrentRow(static_cast<int>(*sel));
    } else {
      lvUsers_->setCurrentRow(-1);
      lvUsers_->clearSelection();
    }
    filling_ = false;
  }
  ShowSelection();
}

void TfAccess::ShowSelection() {
  edPswd_->clear();
  edPswd_->setEnabled(editor_ && editor_->PasswordEnabled());
  if (editor_) edPswd_->setText(QString::fromStdU16String(editor_->PasswordText()));
  btnRemove_->setEnabled(editor_ && editor_->RemoveEnabled());
}

void TfAccess::AddUser() {
  if (!editor_) return;
  size_t row = editor_->AddUser();
  FillList();
  lvUsers_->editItem(lvUsers_->item(static_cast<int>(row)));
}

void TfAccess::RemoveUser() {
  if (!editor_ || !editor_->Selected()) return;
  if (!prompts_.Confirm(this, "Warning!", QString::fromStdU16String(editor_->RemovePrompt()))) return;
  editor_->RemoveSelected();
  FillList();
}

void TfAccess::NameEdited(QListWidgetItem* item) {
  if (filling_ || !editor_) return;
  int row = lvUsers_->row(item);
  if (row < 0) return;
  editor_->Select(static_cast<size_t>(row));
  if (!editor_->RenameSelected(item->text().toStdU16String()))
    prompts_.Error(this, "Error!",
                   "\"" + item->text() +
                       "\" cannot be a user name: it must not be empty, start or end with a blank, "
                       "or hold ']', a line break or a character outside the 8-bit code page.");
  QSignalBlocker block(lvUsers_);  // shows the stored name: the old one, or "_" + a guest name
  item->setText(QString::fromStdU16String(editor_->RowText(static_cast<size_t>(row))));
}

void TfAccess::PasswordTyped(const QString& text) {
  if (!editor_ || !editor_->Selected()) return;
  if (!editor_->SetPassword(text.toStdU16String()))
    prompts_.Error(this, "Error!", "This password cannot be stored: it holds a character outside the "
                                   "8-bit code page or a line break.");
}

}  // namespace tw
