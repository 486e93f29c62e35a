// ServerConfigDialog: the "Create Service" dialog. The source (an image file,
// a whole disk or a mounted partition), its size and unit, the read cache,
// the listening address and port, and the password half, hidden until
// "密码[&P]>>" widens the dialog. OK validates in the fixed order (number
// fields, size, source, passwords, then the caller's check) and stays open
// with a message through UserPrompts on a refusal; once accepted, config()
// is the record to send. An untouched password field means no password.
// "TLS" marks the export secure (AuthMode); a TLS export with the empty
// log-on password is created only after a question says what that means.
#ifndef QUENSARIA_CONFIGURATOR_WIDGETS_SERVER_CONFIG_DIALOG_H_
#define QUENSARIA_CONFIGURATOR_WIDGETS_SERVER_CONFIG_DIALOG_H_

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "configurator/document/machine_info.h"
#include "configurator/rules/configurator_rules.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quensaria::configurator {

class ConfiguratorDefaults;
class UserPrompts;

enum class SourceKind { kFile, kPhysicalDisk, kPartition };

class ServerConfigDialog : public QDialog {
  Q_OBJECT

 public:
  ServerConfigDialog(UserPrompts& prompts, ConfiguratorDefaults& defaults, MachineInfo& machine,
                     QWidget* parent = nullptr);

  // The record built at OK (valid after Accepted).
  const ServerConfig& config() const { return config_; }
  // A last check at OK of the record built (the caller's view of the
  // service): a non-empty text is shown and keeps the dialog open.
  void SetCheck(std::function<std::string(const ServerConfig&)> check) {
    check_ = std::move(check);
  }

  // What tests and the window drive.
  void SetSourceKind(SourceKind kind);
  SourceKind source_kind() const;
  QLineEdit* path_edit() const { return path_; }
  QComboBox* device_list() const { return devices_; }
  QLineEdit* size_edit() const { return size_; }
  QComboBox* unit_list() const { return unit_; }
  QLineEdit* cache_edit() const { return cache_; }
  QComboBox* address_list() const { return address_; }
  QLineEdit* port_edit() const { return port_; }
  QCheckBox* tls_check() const { return tls_; }
  QLineEdit* login_edit() const { return login_; }
  QLineEdit* login_confirm_edit() const { return login_confirm_; }
  QLineEdit* manage_edit() const { return manage_; }
  QLineEdit* manage_confirm_edit() const { return manage_confirm_; }
  QPushButton* password_button() const { return password_button_; }
  QPushButton* browse_button() const { return browse_; }
  bool password_half_shown() const { return passwords_shown_; }
  // The devices listed for the current kind.
  const std::vector<DeviceChoice>& devices() const { return device_choices_; }

  // Takes the size from the path field's file (a file that cannot be read
  // changes nothing).
  void TakeSizeFromFile();

 public slots:
  void accept() override;

 private:
  void Browse();
  void TogglePasswords();
  void TakeSizeFromDevice();
  void ShowSizeOf(std::optional<uint64_t> bytes);

  UserPrompts& prompts_;
  ConfiguratorDefaults& defaults_;
  MachineInfo& machine_;
  QRadioButton* file_kind_;
  QRadioButton* disk_kind_;
  QRadioButton* partition_kind_;
  QLineEdit* path_;
  QPushButton* browse_;
  QComboBox* devices_;
  QLineEdit* size_;
  QComboBox* unit_;
  QLineEdit* cache_;
  QComboBox* address_;
  QLineEdit* port_;
  QCheckBox* tls_;
  QGroupBox* password_half_;
  QLineEdit* login_;
  QLineEdit* login_confirm_;
  QLineEdit* manage_;
  QLineEdit* manage_confirm_;
  QPushButton* password_button_;
  bool passwords_shown_ = false;
  bool login_edited_ = false;
  bool manage_edited_ = false;
  std::vector<DeviceChoice> device_choices_;
  ServerConfig config_{};
  std::function<std::string(const ServerConfig&)> check_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WIDGETS_SERVER_CONFIG_DIALOG_H_
