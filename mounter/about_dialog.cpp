#include "mounter/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "mounter/window_texts.h"

namespace quensaria::mounter {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName("aboutDialog");
  setWindowTitle(QString::fromUtf8(texts::kAboutCaption));
  auto* icon = new QLabel;
  icon->setPixmap(QIcon(":/mounter/icons/velmoran-mounter.svg").pixmap(64, 64));
  auto* name =
      new QLabel(QString::fromUtf8(texts::kProductName) + " " + QString::fromUtf8(texts::kVersion));
  name->setObjectName("productName");
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  auto* owner = new QLabel(QString::fromUtf8(texts::kAboutCopyright));

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(texts::kOk));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* words = new QVBoxLayout;
  words->addWidget(name);
  words->addWidget(owner);
  words->addStretch();
  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addSpacing(12);
  row->addLayout(words, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
}

}  // namespace quensaria::mounter
