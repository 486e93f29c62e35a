#include "configurator/window/new_image_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "configurator/document/prompts_for_testing.h"
#include "configurator/image/create_image.h"
#include "platform/scratch_dir_for_testing.h"
#include "tests/image_files_for_testing.h"
#include "tests/program_for_testing.h"

namespace quensaria::configurator {
namespace {

class NewImageDialogTest : public ::testing::Test {
 protected:
  void Fill(const std::string& path, const QString& mib, int file_system) {
    dialog_.path_field()->setText(QString::fromStdString(path));
    dialog_.size_field()->setText(mib);
    dialog_.file_system_list()->setCurrentIndex(file_system);
  }
  // Clicks "创建[&C]" and waits for the creation and its progress to end.
  bool CreateAndWait() {
    QSignalSpy finished(&dialog_, &NewImageDialog::creationFinished);
    QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, 60000)) return false;
    return finished.first().first().toBool();
  }

  RecordingPrompts prompts_;
  NewImageDialog dialog_{prompts_};
  testing::ScratchDir scratch_;
};

TEST_F(NewImageDialogTest, OpensWithItsDefaults) {
  EXPECT_EQ(dialog_.windowTitle(), "创建镜像文件");
  EXPECT_EQ(dialog_.path_field()->text(), "");
  EXPECT_EQ(dialog_.size_field()->text(), "200");
  EXPECT_EQ(dialog_.file_system_list()->currentText(), "FAT");
  ASSERT_EQ(dialog_.file_system_list()->count(), 2);
  EXPECT_EQ(dialog_.file_system_list()->itemText(1), "FAT32");
  EXPECT_EQ(dialog_.progress_bar()->minimum(), 0);
  EXPECT_EQ(dialog_.progress_bar()->maximum(), 10);
  EXPECT_EQ(dialog_.progress_bar()->value(), 0);
  const auto* note = dialog_.findChild<QLabel*>("imageNote");
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->text(), "如果想创建其他系统，请通过完全访问模式下的客户端格式化完成");
  EXPECT_EQ(dialog_.create_button()->text(), "创建[&C]");
}

TEST_F(NewImageDialogTest, RefusedSizesAreCorrectedInTheFieldAndCreateNothing) {
  const std::string path = scratch_.File("small.img");
  Fill(path, "7", 0);
  QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
  EXPECT_EQ(prompts_.messages, QStringList{"The file size must greater than 8 MB"});
  EXPECT_EQ(dialog_.size_field()->text(), "8");

  Fill(path, "4097", 0);
  QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
  ASSERT_EQ(prompts_.messages.size(), 2);
  EXPECT_EQ(prompts_.messages[1], "The FAT file system only support as max as 4GB");
  // 4096 MiB would need more clusters than FAT16 counts: the nearest is 4095.
  EXPECT_EQ(dialog_.size_field()->text(), "4095");
  EXPECT_FALSE(dialog_.busy());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(NewImageDialogTest, CreatesAFatImageThatFsckAccepts) {
  if (!testing::ProgramExists("fsck.fat")) GTEST_SKIP() << "fsck.fat is not installed (dosfstools)";
  const std::string path = scratch_.File("disk.img");
  Fill(path, "200", 0);
  dialog_.show();
  ASSERT_TRUE(CreateAndWait()) << prompts_.messages.join('|').toStdString();
  EXPECT_EQ(prompts_.messages, QStringList{"Create complete!"});
  EXPECT_EQ(dialog_.progress_bar()->value(), 10);
  EXPECT_TRUE(dialog_.isVisible());  // stays open for the next image
  EXPECT_EQ(std::filesystem::file_size(path), 200u * 1048576u);

  const std::string partition = scratch_.File("partition");
  testing::CopySparseTail(path, 63 * 512, partition);
  const testing::ProgramResult fsck = testing::RunProgram({"fsck.fat", "-n", partition});
  EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
  EXPECT_NE(fsck.out.find(": 1 files, "), std::string::npos) << fsck.out;

  // A second image from the same dialog, FAT32 this time, over the first.
  Fill(path, "100", 1);
  ASSERT_TRUE(CreateAndWait());
  EXPECT_EQ(prompts_.messages.size(), 2);
  EXPECT_EQ(std::filesystem::file_size(path), 100u * 1048576u);
}

TEST_F(NewImageDialogTest, StaysOpenWhileCreating) {
  Fill(scratch_.File("busy.img"), "64", 0);
  dialog_.show();
  QSignalSpy finished(&dialog_, &NewImageDialog::creationFinished);
  QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
  // The worker reports through the event loop, which has not run yet.
  ASSERT_TRUE(dialog_.busy());
  EXPECT_FALSE(dialog_.create_button()->isEnabled());
  dialog_.reject();
  dialog_.close();
  EXPECT_TRUE(dialog_.isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 60000));
  EXPECT_TRUE(dialog_.create_button()->isEnabled());
  dialog_.reject();
  EXPECT_FALSE(dialog_.isVisible());
}

TEST_F(NewImageDialogTest, AFileThatCannotBeCreatedIsNamedInTheMessage) {
  const std::string path = scratch_.File("missing-dir/disk.img");
  Fill(path, "16", 0);
  EXPECT_FALSE(CreateAndWait());
  EXPECT_EQ(prompts_.messages,
            QStringList{QString::fromStdString("Can't create the file " + path + " ")});
  EXPECT_EQ(dialog_.progress_bar()->value(), 0);
}

// However the path was given, an existing file is replaced only after a
// Yes; a No creates nothing and leaves the file as it was.
TEST_F(NewImageDialogTest, AnExistingFileIsReplacedOnlyAfterAsking) {
  const std::string path = scratch_.File("kept.img");
  { std::ofstream(path) << "precious"; }
  Fill(path, "16", 0);
  prompts_.answers = {false};
  QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
  EXPECT_FALSE(dialog_.busy());
  ASSERT_EQ(prompts_.questions.size(), 1);
  EXPECT_EQ(prompts_.questions[0].toStdString(),
            "Confirm Save As: " + path + " already exists.\nDo you want to replace it?");
  EXPECT_EQ(std::filesystem::file_size(path), 8u);
  EXPECT_TRUE(prompts_.messages.isEmpty());

  prompts_.answers = {true};
  ASSERT_TRUE(CreateAndWait());
  EXPECT_EQ(prompts_.questions.size(), 2);
  EXPECT_EQ(std::filesystem::file_size(path), 16u * 1048576u);
  // A new file is not asked about.
  Fill(scratch_.File("new.img"), "16", 0);
  ASSERT_TRUE(CreateAndWait());
  EXPECT_EQ(prompts_.questions.size(), 2);
}

// A symbolic link at the path is replaced by the image, whatever it names
// (nothing, or a folder), so it is asked about as a file is; a No leaves it.
TEST_F(NewImageDialogTest, ASymbolicLinkAtThePathIsAskedAboutToo) {
  const std::string dangling = scratch_.File("dangling.img");
  std::filesystem::create_symlink(scratch_.File("nowhere.img"), dangling);
  const std::string to_folder = scratch_.File("folder.img");
  std::filesystem::create_directory(scratch_.File("folder"));
  std::filesystem::create_symlink(scratch_.File("folder"), to_folder);
  for (const std::string& link : {dangling, to_folder}) {
    prompts_.questions.clear();
    prompts_.answers = {false};
    Fill(link, "16", 0);
    QTest::mouseClick(dialog_.create_button(), Qt::LeftButton);
    EXPECT_FALSE(dialog_.busy()) << link;
    EXPECT_EQ(prompts_.questions.join('|').toStdString(),
              "Confirm Save As: " + link + " already exists.\nDo you want to replace it?");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog_.busy(); }, 60000));
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << link << " was replaced unasked";
  }
  EXPECT_FALSE(std::filesystem::exists(scratch_.File("nowhere.img")));
}

TEST_F(NewImageDialogTest, BrowseAsksForAnImageFileToSave) {
  prompts_.next_file = QString::fromStdString(scratch_.File("chosen.img"));
  QTest::mouseClick(dialog_.findChild<QPushButton*>("browseImage"), Qt::LeftButton);
  EXPECT_EQ(dialog_.path_field()->text(), prompts_.next_file);
  EXPECT_EQ(prompts_.filters, QStringList{"Standard Disk Image Files (*.img);;All Files (*)"});
  EXPECT_EQ(prompts_.suffixes, QStringList{"img"});

  prompts_.next_file.clear();  // cancelled: the field keeps its path
  QTest::mouseClick(dialog_.findChild<QPushButton*>("browseImage"), Qt::LeftButton);
  EXPECT_EQ(dialog_.path_field()->text(), QString::fromStdString(scratch_.File("chosen.img")));
}

}  // namespace
}  // namespace quensaria::configurator
