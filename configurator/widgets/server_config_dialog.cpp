#include "configurator/widgets/server_config_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "configurator/document/configurator_defaults.h"
#include "configurator/document/user_prompts.h"

namespace quensaria::configurator {
namespace {

constexpr char kIntegerPrompt[] = "Please enter an integer.";
constexpr char kImageFilter[] = "Standard Image Files (*.img);;All Files (*)";

QLineEdit* PasswordField() {
  auto* edit = new QLineEdit(QString::fromLatin1(kPlaceholderPassword));
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

// The integer in `edit`, or nullopt.
std::optional<qlonglong> IntegerOf(const QLineEdit* edit) {
  bool ok = false;
  const qlonglong value = edit->text().trimmed().toLongLong(&ok);
  if (!ok) return std::nullopt;
  return value;
}

}  // namespace

ServerConfigDialog::ServerConfigDialog(UserPrompts& prompts, ConfiguratorDefaults& defaults,
                                       MachineInfo& machine, QWidget* parent)
    : QDialog(parent), prompts_(prompts), defaults_(defaults), machine_(machine) {
  setWindowTitle("Create Service");

  auto* source_box = new QGroupBox("数据源");
  file_kind_ = new QRadioButton("文件");
  disk_kind_ = new QRadioButton("物理硬盘");
  partition_kind_ = new QRadioButton("分区");
  auto* kinds = new QHBoxLayout;
  kinds->addWidget(file_kind_);
  kinds->addWidget(disk_kind_);
  kinds->addWidget(partition_kind_);
  path_ = new QLineEdit;
  path_->setObjectName("path");
  // An image of a Ceph cluster is named here too.
  path_->setPlaceholderText("镜像文件，或 rbd:存储池/镜像[@快照][:ro]");
  browse_ = new QPushButton("...");
  devices_ = new QComboBox;
  devices_->setObjectName("devices");
  auto* where = new QHBoxLayout;
  where->addWidget(path_, 1);
  where->addWidget(devices_, 1);
  where->addWidget(browse_);
  auto* source_layout = new QVBoxLayout(source_box);
  source_layout->addLayout(kinds);
  source_layout->addLayout(where);

  size_ = new QLineEdit("0");
  unit_ = new QComboBox;
  unit_->addItems({"G", "M", "K"});
  auto* size_row = new QHBoxLayout;
  size_row->addWidget(size_, 1);
  size_row->addWidget(unit_);
  cache_ = new QLineEdit(QString::number(kDefaultCache));
  address_ = new QComboBox;
  address_->addItem("Any");
  for (const std::string& text : machine_.HostAddresses())
    address_->addItem(QString::fromStdString(text));
  address_->setCurrentIndex(0);
  port_ = new QLineEdit(QString::number(kDefaultPort));
  auto* form = new QFormLayout;
  // A row of two widgets gets no buddy from the form, so the label is made
  // here and pointed at the size field; otherwise "&Z" shows literally.
  auto* size_label = new QLabel("容量[&Z]:");
  size_label->setBuddy(size_);
  form->addRow(size_label, size_row);
  form->addRow("缓存 (M)[&C]:", cache_);
  form->addRow("侦听 IP[&I]:", address_);
  form->addRow("端口[&O]:", port_);
  // Clients must speak TLS too (velmoran-ctl mount-net --tls, the mounter's box).
  tls_ = new QCheckBox("TLS 加密 (密码即密钥)[&T]");
  tls_->setObjectName("tlsCheck");
  tls_->setToolTip(
      "TLS 1.3 with the password's digest as pre-shared key: no digest crosses the wire and "
      "every byte is encrypted; only clients that speak TLS can log on.");
  form->addRow("", tls_);

  password_button_ = new QPushButton("密码[&P]>>");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->addButton(password_button_, QDialogButtonBox::ActionRole);

  auto* left = new QWidget;
  auto* left_layout = new QVBoxLayout(left);
  left_layout->setContentsMargins(0, 0, 0, 0);
  left_layout->addWidget(source_box);
  left_layout->addLayout(form);
  left_layout->addStretch(1);
  left_layout->addWidget(buttons);

  password_half_ = new QGroupBox("密码");
  login_ = PasswordField();
  login_confirm_ = PasswordField();
  manage_ = PasswordField();
  manage_confirm_ = PasswordField();
  auto* passwords = new QFormLayout(password_half_);
  passwords->addRow("登录密码[&L]:", login_);
  passwords->addRow("确认登录密码:", login_confirm_);
  passwords->addRow("管理密码[&M]:", manage_);
  passwords->addRow("确认管理密码:", manage_confirm_);
  // The fields hold the placeholder; as it stands it is no password.
  auto* note = new QLabel(QString::fromUtf8(kUntouchedPasswordNote));
  note->setObjectName("passwordNote");
  note->setWordWrap(true);
  passwords->addRow(note);

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(left, 1);
  layout->addWidget(password_half_, 1);
  password_half_->hide();

  // Editing a confirmation field alone sets nothing.
  connect(login_, &QLineEdit::textEdited, this, [this] { login_edited_ = true; });
  connect(manage_, &QLineEdit::textEdited, this, [this] { manage_edited_ = true; });
  connect(file_kind_, &QRadioButton::clicked, this, [this] { SetSourceKind(SourceKind::kFile); });
  connect(disk_kind_, &QRadioButton::clicked, this,
          [this] { SetSourceKind(SourceKind::kPhysicalDisk); });
  connect(partition_kind_, &QRadioButton::clicked, this,
          [this] { SetSourceKind(SourceKind::kPartition); });
  connect(devices_, &QComboBox::currentIndexChanged, this, [this] { TakeSizeFromDevice(); });
  connect(path_, &QLineEdit::editingFinished, this, &ServerConfigDialog::TakeSizeFromFile);
  connect(browse_, &QPushButton::clicked, this, &ServerConfigDialog::Browse);
  connect(password_button_, &QPushButton::clicked, this, &ServerConfigDialog::TogglePasswords);
  connect(buttons, &QDialogButtonBox::accepted, this, &ServerConfigDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &ServerConfigDialog::reject);

  unit_->setCurrentIndex(0);
  SetSourceKind(SourceKind::kPartition);
  adjustSize();
}

SourceKind ServerConfigDialog::source_kind() const {
  if (file_kind_->isChecked()) return SourceKind::kFile;
  if (disk_kind_->isChecked()) return SourceKind::kPhysicalDisk;
  return SourceKind::kPartition;
}

void ServerConfigDialog::SetSourceKind(SourceKind kind) {
  file_kind_->setChecked(kind == SourceKind::kFile);
  disk_kind_->setChecked(kind == SourceKind::kPhysicalDisk);
  partition_kind_->setChecked(kind == SourceKind::kPartition);
  devices_->clear();
  device_choices_.clear();
  if (kind == SourceKind::kFile) {
    devices_->hide();
    path_->show();
    browse_->setEnabled(true);
    size_->setEnabled(true);
    unit_->setEnabled(true);
    size_->setText("0");
    config_ = ServerConfig{};
    return;
  }
  device_choices_ =
      kind == SourceKind::kPhysicalDisk ? machine_.WholeDisks() : machine_.MountedPartitions();
  for (const DeviceChoice& choice : device_choices_)
    devices_->addItem(QString::fromStdString(choice.text));
  if (!device_choices_.empty()) devices_->setCurrentIndex(0);
  devices_->show();
  path_->hide();
  browse_->setEnabled(false);
  size_->setEnabled(false);
  unit_->setEnabled(false);
  TakeSizeFromDevice();
}

void ServerConfigDialog::TakeSizeFromDevice() {
  const int index = devices_->currentIndex();
  if (index < 0 || static_cast<size_t>(index) >= device_choices_.size()) return;
  ShowSizeOf(machine_.SizeOf(device_choices_[static_cast<size_t>(index)].path));
}

void ServerConfigDialog::TakeSizeFromFile() {
  if (source_kind() != SourceKind::kFile || path_->text().isEmpty()) return;
  ShowSizeOf(machine_.SizeOf(path_->text().toStdString()));
}

void ServerConfigDialog::ShowSizeOf(std::optional<uint64_t> bytes) {
  // An unread size is unknown (0), never the figure of the source chosen
  // before.
  if (!bytes) {
    size_->setText("0");
    return;
  }
  // A file of 1 KiB or less exceeds no unit: it shows in K (so 0 K below
  // 1 KiB), not as the figure the fields held.
  const ShownSize shown = ShowSize(*bytes).value_or(ShownSize{*bytes >> 10, SizeUnit::kK});
  size_->setText(QString::number(shown.value));
  unit_->setCurrentText(SizeUnitText(shown.unit));
}

void ServerConfigDialog::Browse() {
  const QString chosen = prompts_.OpenFileName(kImageFilter);
  if (chosen.isEmpty()) return;
  path_->setText(chosen);
  TakeSizeFromFile();
}

void ServerConfigDialog::TogglePasswords() {
  const int width = this->width();
  passwords_shown_ = !passwords_shown_;
  password_half_->setVisible(passwords_shown_);
  password_button_->setText(passwords_shown_ ? "密码[&P]<<" : "密码[&P]>>");
  resize(passwords_shown_ ? width * 2 : width / 2, height());
}

void ServerConfigDialog::accept() {
  const std::optional<qlonglong> size = IntegerOf(size_);
  if (!size || *size < 0) {
    prompts_.Message(kIntegerPrompt);
    return;
  }
  const std::optional<qlonglong> cache = IntegerOf(cache_);
  if (!cache || *cache < 0 || *cache > kMaxCache) {
    prompts_.Message(QString("Please enter an integer between %1 and %2.").arg(0).arg(kMaxCache));
    return;
  }
  // A port outside 1..65535 would silently listen elsewhere: refuse it.
  const std::optional<qlonglong> port = IntegerOf(port_);
  if (!port || *port < 1 || *port > 65535) {
    prompts_.Message(QString("Please enter an integer between %1 and %2.").arg(1).arg(65535));
    return;
  }
  ServerForm form;
  if (source_kind() == SourceKind::kFile) {
    form.source = WholeSourcePath(path_->text().toStdString(), QDir::currentPath().toStdString());
  } else {
    const int index = devices_->currentIndex();
    if (index >= 0 && static_cast<size_t>(index) < device_choices_.size()) {
      form.source = device_choices_[static_cast<size_t>(index)].path;
    }
  }
  if (address_->currentIndex() > 0) {
    form.address = ParseAddress(address_->currentText().toStdString()).value_or(0);
  }
  form.port = static_cast<uint32_t>(*port);
  form.size = static_cast<uint64_t>(*size);
  form.unit = unit_->currentIndex() == 1   ? SizeUnit::kM
              : unit_->currentIndex() == 2 ? SizeUnit::kK
                                           : SizeUnit::kG;
  form.cache = static_cast<int32_t>(*cache);
  form.login = login_->text().toStdString();
  form.login_confirm = login_confirm_->text().toStdString();
  form.manage = manage_->text().toStdString();
  form.manage_confirm = manage_confirm_->text().toStdString();
  form.login_edited = login_edited_;
  form.manage_edited = manage_edited_;
  form.tls = tls_->isChecked();
  const BuiltServer built =
      BuildServerConfig(form, defaults_.LoginPassword(), defaults_.ManagePassword());
  if (!built.message.empty()) {
    prompts_.Message(QString::fromStdString(built.message));
    return;
  }
  if (const std::string warning = TlsWarning(built.config); !warning.empty()) {
    if (!prompts_.Question(QString::fromStdString(warning) + "\n\nCreate it anyway?", "TLS")) {
      return;
    }
  }
  if (check_) {
    const std::string refusal = check_(built.config);
    if (!refusal.empty()) {
      prompts_.Message(QString::fromStdString(refusal));
      return;
    }
  }
  config_ = built.config;
  QDialog::accept();
}

}  // namespace quensaria::configurator
