#include "configurator/window/new_image_dialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QVBoxLayout>

#include "configurator/document/user_prompts.h"
#include "configurator/image/create_image.h"

namespace quensaria::configurator {

NewImageDialog::NewImageDialog(UserPrompts& prompts, QWidget* parent)
    : QDialog(parent),
      prompts_(prompts),
      path_(new QLineEdit),
      browse_(new QPushButton(QStringLiteral("浏览[&B]"))),
      size_(new QLineEdit(QString::number(kDefaultImageMib))),
      file_system_(new QComboBox),
      progress_(new QProgressBar),
      create_(new QPushButton(QStringLiteral("创建[&C]"))),
      close_(new QPushButton(QStringLiteral("关闭[&X]"))) {
  setObjectName(QStringLiteral("newImageDialog"));
  setWindowTitle(QString::fromUtf8(kNewImageCaption));
  path_->setObjectName(QStringLiteral("imagePath"));
  path_->setMinimumWidth(300);
  browse_->setObjectName(QStringLiteral("browseImage"));
  size_->setObjectName(QStringLiteral("imageSize"));
  size_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), size_));
  size_->setMaximumWidth(100);
  file_system_->setObjectName(QStringLiteral("imageFileSystem"));
  file_system_->addItems({QStringLiteral("FAT"), QStringLiteral("FAT32")});
  progress_->setObjectName(QStringLiteral("imageProgress"));
  progress_->setRange(0, kProgressSteps);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  create_->setObjectName(QStringLiteral("createImage"));
  create_->setDefault(true);
  close_->setObjectName(QStringLiteral("closeImageDialog"));

  auto* file_label = new QLabel(QStringLiteral("镜像文件[&I]:"));
  file_label->setBuddy(path_);
  auto* size_label = new QLabel(QStringLiteral("文件大小[&S]:"));
  size_label->setBuddy(size_);
  auto* fs_label = new QLabel(QStringLiteral("文件系统[&F]:"));
  fs_label->setBuddy(file_system_);
  auto* note = new QLabel(QString::fromUtf8(kNewImageNote));
  note->setObjectName(QStringLiteral("imageNote"));
  note->setWordWrap(true);

  auto* fields = new QGridLayout;
  fields->addWidget(file_label, 0, 0);
  fields->addWidget(path_, 0, 1, 1, 3);
  fields->addWidget(browse_, 0, 4);
  fields->addWidget(size_label, 1, 0);
  auto* size_row = new QHBoxLayout;
  size_row->addWidget(size_);
  size_row->addWidget(new QLabel(QStringLiteral("M 字节")));
  size_row->addStretch();
  fields->addLayout(size_row, 1, 1);
  fields->addWidget(fs_label, 1, 2, Qt::AlignRight);
  fields->addWidget(file_system_, 1, 3);
  fields->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(create_);
  buttons->addWidget(close_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(progress_);
  layout->addWidget(note);
  layout->addLayout(buttons);

  connect(browse_, &QPushButton::clicked, this, &NewImageDialog::Browse);
  connect(create_, &QPushButton::clicked, this, &NewImageDialog::accept);
  connect(close_, &QPushButton::clicked, this, &NewImageDialog::reject);
  stepper_.setInterval(kProgressStepMs);
  connect(&stepper_, &QTimer::timeout, this, &NewImageDialog::Step);
}

NewImageDialog::~NewImageDialog() {
  // The worker owns nothing of ours but the shared result; let it finish.
  if (worker_ != nullptr) worker_->wait();
}

void NewImageDialog::Browse() {
  const QString path = prompts_.SaveFileName(QString::fromLatin1(kImageFileFilter),
                                             QString::fromLatin1(kImageDefaultSuffix));
  if (!path.isEmpty()) path_->setText(path);
}

void NewImageDialog::accept() {
  if (busy()) return;
  const uint64_t size_mib = size_->text().toULongLong();
  const auto file_system = static_cast<ImageFileSystem>(file_system_->currentIndex());
  const SizeCheck check = CheckImageSize(size_mib, file_system);
  if (!check.ok) {
    prompts_.Message(QString::fromStdString(check.message));
    size_->setText(QString::number(check.corrected_mib));
    return;
  }
  // A typed path replaces a file as surely as a browsed one: ask every time
  // (the save dialog leaves the asking to this place). A symbolic link is
  // replaced whatever it names, a dangling one too.
  const QFileInfo existing(path_->text());
  if (!path_->text().isEmpty() &&
      (existing.isSymLink() || (existing.exists() && !existing.isDir())) &&
      !prompts_.Question(
          QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path_->text()),
          QString::fromLatin1(kReplaceCaption))) {
    return;
  }
  // Creating takes milliseconds on a local disk but may wait on a slow or
  // network file system; the window keeps painting meanwhile.
  result_ = std::make_shared<Status>(Status::Ok());
  auto result = result_;
  const std::string path = path_->text().toStdString();
  worker_ = QThread::create([result, path, size_mib, file_system] {
    *result = CreateImage(path, size_mib, file_system);
  });
  connect(worker_, &QThread::finished, this, &NewImageDialog::Created);
  SetBusy(true);
  worker_->start();
}

void NewImageDialog::Created() {
  worker_->wait();
  worker_->deleteLater();
  worker_ = nullptr;
  if (!result_->ok()) {
    SetBusy(false);
    prompts_.Message(QString::fromStdString(result_->message()));
    emit creationFinished(false);
    return;
  }
  progress_->setValue(0);
  stepper_.start();
}

void NewImageDialog::Step() {
  progress_->setValue(progress_->value() + 1);
  if (progress_->value() < kProgressSteps) return;
  stepper_.stop();
  SetBusy(false);
  prompts_.Message(QString::fromLatin1(kMessageComplete));
  emit creationFinished(true);
}

void NewImageDialog::SetBusy(bool busy) {
  for (QWidget* widget : {static_cast<QWidget*>(create_), static_cast<QWidget*>(close_),
                          static_cast<QWidget*>(browse_), static_cast<QWidget*>(path_),
                          static_cast<QWidget*>(size_), static_cast<QWidget*>(file_system_)}) {
    widget->setEnabled(!busy);
  }
}

void NewImageDialog::reject() {
  if (!busy()) QDialog::reject();
}

void NewImageDialog::closeEvent(QCloseEvent* event) {
  if (busy()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace quensaria::configurator
