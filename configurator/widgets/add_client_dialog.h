// AddClientDialog: adds static clients to the shown server: "任何" (the
// "Any Address" entry), "IP 地址" (one address with the chosen access) or
// "IP区间" (every address from the start to the end, both included, at
// virtual write). OK refuses a field that is not an address and a range too
// large, with a message; it sends the additions itself, and when the last
// one fails it shows why (the service's last error text) and stays open.
#ifndef QUENSARIA_CONFIGURATOR_WIDGETS_ADD_CLIENT_DIALOG_H_
#define QUENSARIA_CONFIGURATOR_WIDGETS_ADD_CLIENT_DIALOG_H_

#include <QDialog>

#include "configurator/rules/configurator_rules.h"
#include "shared/management_operations.h"

class QComboBox;
class QLineEdit;
class QRadioButton;

namespace quensaria::configurator {

class UserPrompts;

inline constexpr char kServerGoneText[] =
    "The server no longer exists: it was deleted, so no client can be added to it.";
inline constexpr char kClientNotAddedText[] = "The service did not add the client.";

// Sends the additions of one OK; the result of the first call that failed
// (0 when every call went through, or the range was empty and nothing was
// sent). A range ends at a call the service did not answer.
int32_t AddClients(ManagementOperations& ops, ManagementHandle server, ClientKind kind,
                   uint32_t start_network, uint32_t end_network, uint8_t access);

class AddClientDialog : public QDialog {
  Q_OBJECT

 public:
  AddClientDialog(ManagementOperations& ops, UserPrompts& prompts, ManagementHandle server,
                  QWidget* parent = nullptr);

  void SetKind(ClientKind kind);
  ClientKind kind() const;
  QLineEdit* start_edit() const { return start_; }
  QLineEdit* end_edit() const { return end_; }
  // "Protected" (index 0) or "Full Access" (index 1).
  QComboBox* access_list() const { return access_; }

 public slots:
  void accept() override;

 private:
  void StartChanged();

  ManagementOperations& ops_;
  UserPrompts& prompts_;
  ManagementHandle server_;
  QRadioButton* any_;
  QRadioButton* address_;
  QRadioButton* range_;
  QLineEdit* start_;
  QLineEdit* end_;
  QComboBox* access_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WIDGETS_ADD_CLIENT_DIALOG_H_
