#include "host/uAbout.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "host/uInfo.h"
#include "host/uPrompts.h"

namespace tw {

TfAbout::TfAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      OpenUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
  setObjectName("fAbout");
  setWindowTitle("About");
  setModal(true);

  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  auto* name = new QLabel(kProductName, panel);
  QFont big = name->font();
  big.setBold(true);
  big.setPointSize(big.pointSize() + 4);
  name->setFont(big);
  auto* description = new QLabel("Runs a twParley server: users, keys, peers and a log.", panel);
  auto* maker = new QLabel("Made by the twParley developers.", panel);
  auto* link = new QLabel(QString("<a href=\"%1\">%1</a>").arg(kHomePage.toString()), panel);
  link->setObjectName("lblHomePage");
  link->setStyleSheet("QLabel { font-weight: bold; }");
  link->setCursor(Qt::PointingHandCursor);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(link, &QLabel::linkActivated, this, [this](const QString& url) { OpenUrl(QUrl(url)); });

  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->addWidget(name);
  panelLayout->addWidget(description);
  panelLayout->addWidget(maker);
  panelLayout->addWidget(link);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
  setFixedSize(sizeHint());
  CentreOnScreen(*this);
}

}  // namespace tw
