// OptionsDialog: the defaults new servers get: the automatic "Any Address"
// client and the default login and management passwords. The password
// fields start with the placeholder, which means "no password"; only an
// edited field is stored (ChooseLoginDigest, ChooseManageDigest: an emptied
// log-on field stores the empty password's digest, an emptied management
// field "not set"). Focusing a password field selects its whole text.
// After OK, saved() says whether every value was written.
#ifndef QUENSARIA_CONFIGURATOR_WIDGETS_OPTIONS_DIALOG_H_
#define QUENSARIA_CONFIGURATOR_WIDGETS_OPTIONS_DIALOG_H_

#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace quensaria::configurator {

class ConfiguratorDefaults;

class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  explicit OptionsDialog(ConfiguratorDefaults& defaults, QWidget* parent = nullptr);

  QCheckBox* auto_add_box() const { return auto_add_; }
  QLineEdit* login_edit() const { return login_; }
  QLineEdit* manage_edit() const { return manage_; }
  bool saved() const { return saved_; }

 public slots:
  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  ConfiguratorDefaults& defaults_;
  QCheckBox* auto_add_;
  QLineEdit* login_;
  QLineEdit* manage_;
  bool login_edited_ = false;
  bool manage_edited_ = false;
  bool saved_ = false;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WIDGETS_OPTIONS_DIALOG_H_
