// The window reads the file when it is created and again each time it is
// shown, so that Cancel discards the edits of the last showing; Ok writes it.
#include "host/uSettings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "host/mMessageBridge.h"
#include "host/mServerControl.h"
#include "host/uInfo.h"
#include "host/uPrompts.h"
#include "platform/win32/text.h"

namespace tw {
namespace {

QString FromAnsi(const std::string& text) {
  return QString::fromStdU16String(win32::AnsiToWide(text));
}
std::string ToAnsi(const QString& text) { return win32::WideToAnsi(text.toStdU16String()); }

template <class W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

}  // namespace

TfSettings::TfSettings(std::string folder, TServerControl& control, TPrompts& prompts, TfInfo& info,
                       QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      folder_(std::move(folder)),
      control_(control),
      prompts_(prompts),
      info_(info) {
  setObjectName("fSettings");
  setWindowTitle("Settings");
  setModal(true);

  tabs_ = new QTabWidget(this);
  auto* security = new QWidget;
  auto* options = new QWidget;
  tabs_->addTab(security, " Security ");
  tabs_->addTab(options, " Options ");

  auto* modeBox = new QGroupBox(" Encryption mode ", security);
  radPlain_ = Named(new QRadioButton("Plain text - no encryption"), "radPlain");
  radSecret_ = Named(new QRadioButton("Shared secret keys - symmetric encryption"), "radSecret");
  radPublic_ = Named(new QRadioButton("Public/Private keys - asymmetric encryption"), "radPublic");
  radPlain_->setChecked(true);
  auto* modeLayout = new QVBoxLayout(modeBox);
  for (QRadioButton* r : {radPlain_, radSecret_, radPublic_}) {
    modeLayout->addWidget(r);
    connect(r, &QRadioButton::clicked, this, [this] { ApplyModeRules(); });
  }

  auto* secretBox = new QGroupBox("Secret key", security);
  edSecret_ = Named(new QLineEdit, "edSecret");
  (new QVBoxLayout(secretBox))->addWidget(edSecret_);

  auto* keyBox = new QGroupBox("Key pair", security);
  lblPublic_ = new QLabel("Public key:");
  mmPublic_ = Named(new QPlainTextEdit, "mmPublic");
  mmPublic_->setReadOnly(true);
  mmPublic_->setFixedHeight(56);
  btnGenerate_ = Named(new QPushButton("Generate"), "btnGenerate");
  btnClear_ = Named(new QPushButton("Clear"), "btnClear");
  lblPrivate_ = new QLabel("Private key:");
  mmPrivate_ = Named(new QPlainTextEdit, "mmPrivate");
  mmPrivate_->setReadOnly(true);
  mmPrivate_->setFixedHeight(56);
  lblFingerprint_ = new QLabel("Fingerprint of the public key:");
  edFingerprint_ = Named(new QLineEdit, "edFingerprint");
  auto* keyLayout = new QGridLayout(keyBox);
  keyLayout->addWidget(lblPublic_, 0, 0);
  keyLayout->addWidget(mmPublic_, 1, 0, 2, 1);
  keyLayout->addWidget(btnGenerate_, 1, 1);
  keyLayout->addWidget(btnClear_, 2, 1);
  keyLayout->addWidget(lblPrivate_, 3, 0);
  keyLayout->addWidget(mmPrivate_, 4, 0);
  keyLayout->addWidget(lblFingerprint_, 5, 0);
  keyLayout->addWidget(edFingerprint_, 6, 0);
  connect(btnGenerate_, &QPushButton::clicked, this, [this] { Generate(); });
  connect(btnClear_, &QPushButton::clicked, this, [this] { ClearKeys(); });

  auto* trustBox = new QGroupBox("Valid peer fingerprints (optional)", security);
  lstFingerprints_ = Named(new QListWidget, "lstFingerprints");
  lstFingerprints_->setFixedHeight(70);
  btnAdd_ = Named(new QPushButton("Add"), "btnAdd");
  btnRemove_ = Named(new QPushButton("Remove"), "btnRemove");
  btnRemove_->setEnabled(false);
  auto* trustLayout = new QGridLayout(trustBox);
  trustLayout->addWidget(lstFingerprints_, 0, 0, 2, 1);
  trustLayout->addWidget(btnAdd_, 0, 1);
  trustLayout->addWidget(btnRemove_, 1, 1);
  connect(lstFingerprints_, &QListWidget::itemClicked, this,
          [this] { btnRemove_->setEnabled(lstFingerprints_->currentRow() >= 0); });
  connect(btnAdd_, &QPushButton::clicked, this, [this] { AddFingerprint(); });
  connect(btnRemove_, &QPushButton::clicked, this, [this] { RemoveFingerprint(); });

  auto* securityLayout = new QVBoxLayout(security);
  securityLayout->addWidget(modeBox);
  securityLayout->addWidget(secretBox);
  securityLayout->addWidget(keyBox);
  securityLayout->addWidget(trustBox);

  auto* general = new QGroupBox(" General ", options);
  edPort_ = Named(new QLineEdit("2222"), "edPort");
  edSrvAddr_ = Named(new QLineEdit("0.0.0.0"), "edSrvAddr");
  auto* generalLayout = new QGridLayout(general);
  generalLayout->addWidget(new QLabel("Listening port:"), 0, 0);
  generalLayout->addWidget(edPort_, 0, 1);
  generalLayout->addWidget(new QLabel("Bind address:"), 1, 0);
  generalLayout->addWidget(edSrvAddr_, 1, 1);
  auto* optionsLayout = new QVBoxLayout(options);
  optionsLayout->addWidget(general);
  optionsLayout->addStretch();

  btnOk_ = Named(new QPushButton("Ok"), "btnOk");
  btnCancel_ = Named(new QPushButton("Cancel"), "btnCancel");
  btnOk_->setDefault(true);
  connect(btnOk_, &QPushButton::clicked, this, &TfSettings::accept);
  connect(btnCancel_, &QPushButton::clicked, this, &TfSettings::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(btnOk_);
  buttons->addWidget(btnCancel_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  LoadSettings();
  ApplyModeRules();
  setFixedSize(sizeHint().expandedTo(QSize(420, 0)));
}

void TfSettings::LoadSettings() {
  THostSettings s;
  if (unsaved_) {
    s = *unsaved_;  // what the server runs with, not the older file
  } else if (!s.Load(folder_)) {
    return;  // an unreadable file loads nothing, as when it is missing
  }
  mode_ = s.Mode;
  if (s.Mode == 0) radPlain_->setChecked(true);
  if (s.Mode == 1) radSecret_->setChecked(true);
  if (s.Mode == 2) radPublic_->setChecked(true);
  edSecret_->setText(FromAnsi(s.SecretKey));
  mmPublic_->setPlainText(FromAnsi(s.PublicKey));
  mmPrivate_->setPlainText(FromAnsi(s.PrivateKey));
  lstFingerprints_->clear();
  for (const std::string& f : s.RemoteFingerprints) AddFingerprintItem(FromAnsi(f));
  edFingerprint_->setText(FromAnsi(s.LocalFingerprint));
  edPort_->setText(FromAnsi(s.Port));
  edSrvAddr_->setText(FromAnsi(s.ServerAddress));
}

THostSettings TfSettings::Values() const {
  THostSettings s;
  s.Mode = mode_;
  s.SecretKey = ToAnsi(edSecret_->text());
  s.PublicKey = ToAnsi(mmPublic_->toPlainText());
  s.PrivateKey = ToAnsi(mmPrivate_->toPlainText());
  for (int i = 0; i < lstFingerprints_->count(); ++i)
    s.RemoteFingerprints.push_back(ToAnsi(lstFingerprints_->item(i)->data(Qt::UserRole).toString()));
  s.LocalFingerprint = ToAnsi(edFingerprint_->text());
  s.Port = ToAnsi(edPort_->text());
  s.ServerAddress = ToAnsi(edSrvAddr_->text());
  return s;
}

void TfSettings::ApplyModeRules() {
  bool keys = radPublic_->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{lblPublic_, mmPublic_, lblPrivate_, mmPrivate_,
                                                    lblFingerprint_, edFingerprint_, lstFingerprints_,
                                                    btnGenerate_, btnClear_, btnAdd_})
    w->setEnabled(keys);
  btnRemove_->setEnabled(false);
  edSecret_->setEnabled(radSecret_->isChecked());
}

void TfSettings::AddFingerprint() {
  std::optional<QString> text = prompts_.Input(this, "Add", "Fingerprint");
  if (!text) return;
  // An empty entry would match no key and so shut out every client.
  if (text->trimmed().isEmpty()) {
    prompts_.Error(this, "Add", "A fingerprint cannot be empty.");
    return;
  }
  AddFingerprintItem(*text);
}

void TfSettings::AddFingerprintItem(const QString& fingerprint) {
  // The list shows an empty entry (kept from an older settings.ini) for what
  // it does; the entry itself stays empty.
  auto* item = new QListWidgetItem(fingerprint.isEmpty() ? kEmptyFingerprintText : fingerprint);
  item->setData(Qt::UserRole, fingerprint);
  lstFingerprints_->addItem(item);
}

void TfSettings::RemoveFingerprint() {
  int row = lstFingerprints_->currentRow();
  if (row >= 0) delete lstFingerprints_->takeItem(row);
  btnRemove_->setEnabled(false);
}

void TfSettings::ClearKeys() {
  mmPublic_->clear();
  mmPrivate_->clear();
  edFingerprint_->clear();
}

void TfSettings::Generate() {
  if (generating_) return;
  generating_ = true;
  setEnabled(false);  // no second Generate, no Ok or Cancel half way
  info_.ShowInfo("Just a second...", "Generating new keys...");
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);  // paint it before the work
  bool ok = false;
  std::u16string publicKey, privateKey, fingerprint;
  QString failure;
  try {
    TLongWorkPump keepPainting;
    ok = control_.GenerateKeypair(publicKey, privateKey);
    if (ok) fingerprint = control_.TakeFingerprint(publicKey);
  } catch (const std::exception& e) {
    failure = QString::fromUtf8(e.what());
  }
  info_.hide();
  setEnabled(true);
  generating_ = false;
  if (!failure.isEmpty()) {
    prompts_.Error(this, "Error!", failure);
  } else if (ok) {
    mmPublic_->setPlainText(QString::fromStdU16String(publicKey));
    mmPrivate_->setPlainText(QString::fromStdU16String(privateKey));
    edFingerprint_->setText(QString::fromStdU16String(fingerprint));
  } else {
    prompts_.Error(this, "Error!", "Error generating Public/Private keys");
  }
}

void TfSettings::accept() {
  if (generating_) return;
  if (radPublic_->isChecked() && mmPublic_->toPlainText().isEmpty()) {
    prompts_.Error(this, "Error!", "No Public/Private keys");
    return;
  }
  THostSettings s = Values();
  s.Mode = radSecret_->isChecked() ? 1 : radPublic_->isChecked() ? 2 : 0;
  mode_ = s.Mode;
  // A file that cannot be written does not cost the operator the choice:
  // the settings still apply to the running server until the program ends,
  // and the window shows them again instead of the older file.
  if (TFileResult saved = s.Save(folder_); saved) {
    unsaved_.reset();
  } else {
    unsaved_ = s;
    prompts_.Error(this, "Error!",
                   "The settings could not be saved (" + QString::fromStdString(saved.Error) +
                       "). They apply to the running server and will be lost when the program ends.");
  }
  QDialog::accept();
}

void TfSettings::reject() {
  if (!generating_) QDialog::reject();
}

void TfSettings::showEvent(QShowEvent* event) {
  LoadSettings();
  ApplyModeRules();
  tabs_->setCurrentIndex(0);
  CentreOnScreen(*this);
  QDialog::showEvent(event);
}

void TfSettings::closeEvent(QCloseEvent* event) {
  if (generating_)
    event->ignore();
  else
    QDialog::closeEvent(event);
}

}  // namespace tw
