// AboutDialog: the product's name, version "V1.6" and icon.
#ifndef QUENSARIA_MOUNTER_ABOUT_DIALOG_H_
#define QUENSARIA_MOUNTER_ABOUT_DIALOG_H_

#include <QDialog>

namespace quensaria::mounter {

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace quensaria::mounter

#endif  // QUENSARIA_MOUNTER_ABOUT_DIALOG_H_
