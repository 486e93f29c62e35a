#include "mounter/add_device_dialog.h"

#include <arpa/inet.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>

#include "mounter/drive_texts.h"
#include "mounter/user_prompts.h"
#include "mounter/window_texts.h"

namespace quensaria::mounter {

namespace {

constexpr int kMaxPathLength = 260;

QString Utf8(const char* text) { return QString::fromUtf8(text); }

}  // namespace

AddDeviceDialog::AddDeviceDialog(const AddDeviceDefaults& defaults,
                                 const std::vector<char>& free_letters, UserPrompts& prompts,
                                 QWidget* parent)
    : QDialog(parent), prompts_(prompts) {
  setObjectName("addDeviceDialog");
  setWindowTitle(Utf8(texts::kAddDeviceCaption));

  auto* group = new QGroupBox(Utf8(texts::kSourceTypeGroup));
  auto* network = new QRadioButton(Utf8(texts::kNetworkDisk));
  network->setObjectName("networkDisk");
  auto* image = new QRadioButton(Utf8(texts::kDiskImage));
  image->setObjectName("diskImage");
  cd_image_ = new QRadioButton(Utf8(texts::kCdImage));
  cd_image_->setObjectName("cdImage");
  cd_image_->setVisible(false);  // created, never offered
  types_ = new QButtonGroup(this);
  types_->addButton(network, 0);
  types_->addButton(image, 1);
  types_->addButton(cd_image_, 2);
  auto* type_row = new QHBoxLayout(group);
  type_row->addWidget(network);
  type_row->addWidget(image);
  type_row->addWidget(cd_image_);
  type_row->addStretch();

  address_label_ = new QLabel(Utf8(texts::kServerAddress));
  address_ = new QLineEdit(Ipv4Text(defaults.ipAddress));
  address_->setObjectName("serverAddress");
  address_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(R"((\d{1,3}\.){0,3}\d{0,3})"), address_));
  port_label_ = new QLabel(Utf8(texts::kPort));
  port_ = new QLineEdit(QString::number(defaults.port));
  port_->setObjectName("port");
  port_->setMaxLength(5);
  port_->setMaximumWidth(port_->fontMetrics().horizontalAdvance("0000000") + 16);
  more_label_ = new QLabel(Utf8(texts::kMoreServers));
  more_ = new QLineEdit(defaults.moreServers);
  more_->setObjectName("otherServers");
  more_->setMaxLength(100);
  more_->setPlaceholderText(Utf8(texts::kMoreServersHint));
  more_->setToolTip(Utf8(texts::kMoreServersHint));
  tls_ = new QCheckBox(Utf8(texts::kTls));
  tls_->setObjectName("tls");
  tls_->setChecked(defaults.tls);
  tls_->setToolTip(Utf8(texts::kTlsHint));
  path_label_ = new QLabel(Utf8(texts::kImageFile));
  path_ = new QLineEdit;
  path_->setObjectName("imagePath");
  SetPath(defaults.fileName);
  browse_ = new QPushButton(Utf8(texts::kBrowse));
  browse_->setObjectName("browse");
  browse_->setMaximumWidth(browse_->fontMetrics().horizontalAdvance("....") + 24);

  letters_ = new QComboBox;
  letters_->setObjectName("driveLetter");
  for (const char letter : free_letters) {
    letters_->addItem(QStringLiteral("%1:").arg(QChar::fromLatin1(letter)));
  }
  letters_->setCurrentIndex(free_letters.empty() ? -1 : 0);

  auto* fields = new QGridLayout;
  fields->addWidget(address_label_, 0, 0);
  auto* address_row = new QHBoxLayout;
  address_row->addWidget(address_, 1);
  address_row->addWidget(port_label_);
  address_row->addWidget(port_);
  fields->addLayout(address_row, 0, 1);
  fields->addWidget(more_label_, 1, 0);
  fields->addWidget(more_, 1, 1);
  fields->addWidget(tls_, 2, 1);
  fields->addWidget(path_label_, 3, 0);
  auto* path_row = new QHBoxLayout;
  path_row->addWidget(path_, 1);
  path_row->addWidget(browse_);
  fields->addLayout(path_row, 3, 1);
  fields->addWidget(new QLabel(Utf8(texts::kDriveLetter)), 4, 0);
  auto* letter_row = new QHBoxLayout;
  letter_row->addWidget(letters_);
  letter_row->addStretch();
  fields->addLayout(letter_row, 4, 1);

  auto* warning = new QLabel(Utf8(texts::kSameSourceWarning));
  warning->setObjectName("warning");
  warning->setWordWrap(true);
  warning->setStyleSheet("color: #a03000;");

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(Utf8(texts::kOk));
  buttons->button(QDialogButtonBox::Cancel)->setText(Utf8(texts::kCancel));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(fields);
  layout->addWidget(warning);
  layout->addWidget(buttons);
  setMinimumWidth(460);

  connect(types_, &QButtonGroup::idClicked, this, &AddDeviceDialog::SelectSourceType);
  connect(port_, &QLineEdit::textEdited, this, &AddDeviceDialog::OnPortEdited);
  connect(browse_, &QPushButton::clicked, this, &AddDeviceDialog::OnBrowse);
  connect(buttons, &QDialogButtonBox::accepted, this, &AddDeviceDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AddDeviceDialog::reject);

  if (QAbstractButton* chosen = types_->button(static_cast<int>(defaults.type))) {
    chosen->setChecked(true);
  }
  SelectSourceType(static_cast<int>(defaults.type));
}

int AddDeviceDialog::CheckedType() const { return types_->checkedId(); }

void AddDeviceDialog::SelectSourceType(int type) {
  const bool network = type == 0;
  for (QWidget* w : {static_cast<QWidget*>(address_label_), static_cast<QWidget*>(address_),
                     static_cast<QWidget*>(port_label_), static_cast<QWidget*>(port_),
                     static_cast<QWidget*>(more_label_), static_cast<QWidget*>(more_),
                     static_cast<QWidget*>(tls_)}) {
    w->setVisible(network);
  }
  for (QWidget* w : {static_cast<QWidget*>(path_label_), static_cast<QWidget*>(path_),
                     static_cast<QWidget*>(browse_)}) {
    w->setVisible(!network);
  }
}

void AddDeviceDialog::OnPortEdited(const QString& text) {
  const QString digits = DigitsOnly(text);
  if (digits != text) {
    port_->setText(digits);
    port_->setCursorPosition(static_cast<int>(digits.size()));
  }
}

void AddDeviceDialog::OnBrowse() {
  const char* filter = CheckedType() == 2 ? texts::kCdImageFilter : texts::kImageFilter;
  const QString chosen =
      prompts_.OpenFileName(Utf8(texts::kOpenImageCaption), QtFileFilter(Utf8(filter)));
  if (!chosen.isEmpty()) SetPath(chosen);
}

void AddDeviceDialog::SetPath(const QString& path) {
  // Typing stops at the limit, but a longer path given is kept whole: cut,
  // it would name another file. The mount refuses it.
  path_->setMaxLength(std::max<int>(kMaxPathLength, static_cast<int>(path.size())));
  path_->setText(path);
}

void AddDeviceDialog::accept() {
  const int type = CheckedType();
  if (type != 0 && type != 1) {
    prompts_.Message(Utf8(texts::kSelectSourceType));
    return;
  }
  AddDeviceAnswer answer;
  answer.type = static_cast<uint32_t>(type);
  if (type == 0) {
    const std::optional<uint32_t> address = Ipv4FromText(address_->text());
    const uint32_t port = port_->text().toUInt();
    // A field a mount cannot use is refused with a message and keeps the
    // dialog open on it, rather than sending a wrapped port, port 0 or a
    // half address to the driver.
    if (!address || *address == 0) {
      prompts_.Message(Utf8(address ? texts::kNoServerAddress : texts::kBadServerAddress));
      address_->setFocus();
      address_->selectAll();
      return;
    }
    if (port < 1 || port > 65535) {
      prompts_.Message(Utf8(texts::kBadPort));
      port_->setFocus();
      port_->selectAll();
      return;
    }
    answer.ipAddress = *address;
    answer.port = port;
    answer.tls = tls_->isChecked();
    if (!more_->text().trimmed().isEmpty()) {
      const auto more = ParseServerList(more_->text().toStdString(), kMaxMountServers - 1);
      QString fault;
      if (!more.ok()) {
        fault = Utf8(texts::kBadMoreServers).arg(QString::fromStdString(more.status().message()));
      } else {
        const MountServer first{htonl(*address), htons(static_cast<uint16_t>(port))};
        for (const MountServer& s : more.value()) {
          if (s == first) {
            fault = Utf8(texts::kMoreServerIsFirst).arg(QString::fromStdString(ServerText(s)));
          }
        }
      }
      if (!fault.isEmpty()) {
        prompts_.Message(fault);
        more_->setFocus();
        more_->selectAll();
        return;
      }
      answer.moreServers = more.value();
    }
  } else {
    // The driver could only fail to find a file without a name.
    if (path_->text().isEmpty()) {
      prompts_.Message(Utf8(texts::kNoImageFile));
      path_->setFocus();
      return;
    }
    answer.fileName = path_->text();
  }
  const QString letter = letters_->currentText();
  if (letter.isEmpty()) {
    prompts_.Message(Utf8(texts::kNoFreeLetter));
    return;
  }
  answer.driveLetter = letter.at(0).toLatin1();
  answer_ = answer;
  QDialog::accept();
}

}  // namespace quensaria::mounter
