// NewImageDialog ("创建镜像文件"): the image file, its size in MiB and its
// file system; "创建[&C]" checks the size (a refused size is corrected in the
// field), asks before replacing an existing file however its path was
// given, creates the image on a worker thread so the window keeps
// painting, then runs the progress bar 0..10 and says "Create complete!".
// The dialog stays open for the next image until "关闭[&X]". Messages and
// the save dialog go through UserPrompts. GUI thread only.
#ifndef QUENSARIA_CONFIGURATOR_WINDOW_NEW_IMAGE_DIALOG_H_
#define QUENSARIA_CONFIGURATOR_WINDOW_NEW_IMAGE_DIALOG_H_

#include <QDialog>
#include <QTimer>
#include <memory>

#include "shared/status.h"

class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QThread;

namespace quensaria::configurator {

class UserPrompts;

inline constexpr char kNewImageCaption[] = "创建镜像文件";
inline constexpr char kNewImageNote[] =
    "如果想创建其他系统，请通过完全访问模式下的客户端格式化完成";
inline constexpr char kImageFileFilter[] = "Standard Disk Image Files (*.img);;All Files (*)";
inline constexpr char kImageDefaultSuffix[] = "img";
inline constexpr char kReplaceCaption[] = "Confirm Save As";
inline constexpr int kDefaultImageMib = 200;
inline constexpr int kProgressStepMs = 20;

class NewImageDialog : public QDialog {
  Q_OBJECT

 public:
  // `prompts` must outlive the dialog.
  NewImageDialog(UserPrompts& prompts, QWidget* parent = nullptr);
  ~NewImageDialog() override;

  QLineEdit* path_field() const { return path_; }
  QLineEdit* size_field() const { return size_; }
  QComboBox* file_system_list() const { return file_system_; }
  QProgressBar* progress_bar() const { return progress_; }
  QPushButton* create_button() const { return create_; }
  // Whether an image is being created or its progress shown.
  bool busy() const { return worker_ != nullptr || stepper_.isActive(); }

 signals:
  // After "Create complete!" or a failure message; for tests and callers.
  void creationFinished(bool ok);

 public slots:
  void accept() override;  // "创建[&C]"
  void reject() override;  // "关闭[&X]" and Esc: ignored while busy

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Browse();
  void Created();
  void Step();
  void SetBusy(bool busy);

  UserPrompts& prompts_;
  QLineEdit* path_;
  QPushButton* browse_;
  QLineEdit* size_;
  QComboBox* file_system_;
  QProgressBar* progress_;
  QPushButton* create_;
  QPushButton* close_;
  QThread* worker_ = nullptr;
  std::shared_ptr<Status> result_;
  QTimer stepper_;
};

}  // namespace quensaria::configurator

#endif  // QUENSARIA_CONFIGURATOR_WINDOW_NEW_IMAGE_DIALOG_H_
