#include "mounter/user_prompts.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "mounter/single_instance.h"
#include "mounter/window_texts.h"

namespace quensaria::mounter {

namespace {

class WidgetPrompts final : public UserPrompts {
 public:
  void Inform(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, QString::fromUtf8(kMounterTitle), text);
  }
  bool Ask(QWidget* parent, const QString& text) override {
    return QMessageBox::question(parent, QString::fromUtf8(texts::kQuestionCaption), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  }
  QString OpenFileName(QWidget* parent, const QString& caption, const QString& filter) override {
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
  }
  void OpenInFileManager(const QString& path) override {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  }
};

}  // namespace

std::unique_ptr<UserPrompts> MakeWidgetPrompts() { return std::make_unique<WidgetPrompts>(); }

}  // namespace quensaria::mounter
