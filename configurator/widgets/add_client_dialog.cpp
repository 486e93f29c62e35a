#include "configurator/widgets/add_client_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "configurator/document/user_prompts.h"
#include "shared/block_protocol.h"
#include "shared/management_interface.h"

namespace quensaria::configurator {
namespace {

// Digits and dots only, so that what the user typed stays as typed: a
// number above 255 is refused with a message at OK, not silently cut.
QLineEdit* AddressField() {
  auto* edit = new QLineEdit("0.0.0.0");
  edit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9.]{0,15}")), edit));
  return edit;
}

// Whether `result` is no answer of the service (a runtime status: the call
// did not complete) rather than its own 0 or -1.
bool NoAnswer(int32_t result) { return result != 0 && result != -1; }

QString Text(uint32_t address_network) {
  return QString::fromStdString(AddressText(address_network));
}

}  // namespace

int32_t AddClients(ManagementOperations& ops, ManagementHandle server, ClientKind kind,
                   uint32_t start_network, uint32_t end_network, uint8_t access) {
  switch (kind) {
    case ClientKind::kAny:
      return ops.AddStaticClient(server, AnyAddressClient());
    case ClientKind::kAddress:
      return ops.AddStaticClient(server, AddressClient(start_network, access));
    case ClientKind::kRange: {
      // Every address is tried; the first refusal is the answer, so one
      // inside the range is not hidden by the later ones that went in.
      int32_t first_failure = 0;
      for (const uint32_t address : RangeAddresses(start_network, end_network)) {
        const int32_t result =
            ops.AddStaticClient(server, AddressClient(address, ACCESS_VIRTUAL_WRITE));
        if (first_failure == 0) first_failure = result;
        // Against a service that no longer answers each address would wait
        // out the call's time-out in turn.
        if (NoAnswer(result)) break;
      }
      return first_failure;
    }
  }
  return -1;
}

AddClientDialog::AddClientDialog(ManagementOperations& ops, UserPrompts& prompts,
                                 ManagementHandle server, QWidget* parent)
    : QDialog(parent), ops_(ops), prompts_(prompts), server_(server) {
  setWindowTitle("添加客户端");
  any_ = new QRadioButton("任何");
  address_ = new QRadioButton("IP 地址");
  range_ = new QRadioButton("IP区间");
  auto* kinds = new QHBoxLayout;
  kinds->addWidget(any_);
  kinds->addWidget(address_);
  kinds->addWidget(range_);
  start_ = AddressField();
  end_ = AddressField();
  access_ = new QComboBox;
  access_->addItems({"Protected", "Full Access"});
  auto* form = new QFormLayout;
  form->addRow("起始地址[&S]:", start_);
  form->addRow("结束地址[&E]:", end_);
  form->addRow("访问控制[&A]:", access_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(kinds);
  layout->addLayout(form);
  layout->addWidget(buttons);

  connect(any_, &QRadioButton::clicked, this, [this] { SetKind(ClientKind::kAny); });
  connect(address_, &QRadioButton::clicked, this, [this] { SetKind(ClientKind::kAddress); });
  connect(range_, &QRadioButton::clicked, this, [this] { SetKind(ClientKind::kRange); });
  connect(start_, &QLineEdit::textChanged, this, &AddClientDialog::StartChanged);
  connect(buttons, &QDialogButtonBox::accepted, this, &AddClientDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AddClientDialog::reject);
  SetKind(ClientKind::kAny);
}

ClientKind AddClientDialog::kind() const {
  if (address_->isChecked()) return ClientKind::kAddress;
  if (range_->isChecked()) return ClientKind::kRange;
  return ClientKind::kAny;
}

void AddClientDialog::SetKind(ClientKind kind) {
  any_->setChecked(kind == ClientKind::kAny);
  address_->setChecked(kind == ClientKind::kAddress);
  range_->setChecked(kind == ClientKind::kRange);
  switch (kind) {
    case ClientKind::kAny:
      start_->setEnabled(false);
      end_->setEnabled(false);
      access_->setEnabled(false);
      start_->setText("0.0.0.0");
      end_->setText("0.0.0.0");
      break;
    case ClientKind::kAddress:
      start_->setEnabled(true);
      end_->setEnabled(false);
      access_->setEnabled(true);
      start_->setText("192.168.0.1");
      end_->setText("192.168.0.1");
      break;
    case ClientKind::kRange:
      start_->setEnabled(true);
      end_->setEnabled(true);
      access_->setEnabled(false);
      start_->setText("192.168.0.1");
      end_->setText("192.168.0.255");
      break;
  }
}

void AddClientDialog::StartChanged() {
  const std::optional<uint32_t> start = ParseAddress(start_->text().toStdString());
  if (!start) return;
  end_->setText(Text(FollowingEndAddress(kind(), *start)));
}

void AddClientDialog::accept() {
  const std::optional<uint32_t> start = ParseAddress(start_->text().toStdString());
  const std::optional<uint32_t> end = ParseAddress(end_->text().toStdString());
  for (QLineEdit* field : {start_, end_}) {
    if (ParseAddress(field->text().toStdString())) continue;
    prompts_.Message(QString::fromStdString(AddressRefusal(field->text().toStdString())));
    field->setFocus();
    field->selectAll();
    return;
  }
  if (kind() == ClientKind::kRange) {
    const std::string refusal = RangeRefusal(*start, *end);
    if (!refusal.empty()) {
      prompts_.Message(QString::fromStdString(refusal));
      return;
    }
  }
  const uint8_t access = access_->currentIndex() == 1 ? ACCESS_FULL : ACCESS_VIRTUAL_WRITE;
  // The rule for access changes holds for additions too: typing 0.0.0.0
  // must not give every address full access.
  if (kind() == ClientKind::kAddress &&
      !AccessChangeAllowed(AddressClient(*start, access), access)) {
    prompts_.Message(kAnyNotFull);
    return;
  }
  int32_t result = 0;
  {
    WaitCursorScope wait(prompts_);
    result = AddClients(ops_, server_, kind(), *start, *end, access);
  }
  if (result == 0) {
    QDialog::accept();
    return;
  }
  std::string text;
  ops_.GetLastErrorText(kLastErrorTextSize, text);
  // The service names no cause when the call itself failed, or when the
  // server has gone since the list was shown.
  ServerConfig config{};
  const int32_t got = ops_.GetServer(server_, config);
  if (NoAnswer(got)) {
    text = kServiceDoesNotAnswer;
  } else if (got != 0) {
    text = kServerGoneText;
  } else if (text.empty()) {
    text = kClientNotAddedText;
  }
  prompts_.Message(QString::fromStdString(text));
}

}  // namespace quensaria::configurator
