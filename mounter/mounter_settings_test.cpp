#include "mounter/mounter_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextStream>
#include <cstring>

#include "platform/file_size_limit_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "shared/password_digest.h"

namespace quensaria::mounter {
namespace {

class MounterSettingsTest : public ::testing::Test {
 protected:
  MounterSettingsTest() {
    paths_.userConfigDir = QString::fromStdString(dir_.File("config"));
    paths_.systemConfigDir = QString::fromStdString(dir_.File("xdg"));
    paths_.cacheDir = QString::fromStdString(dir_.File("cache"));
  }

  QString UserFile() const { return paths_.userConfigDir + "/Ostravin/Velmoran.conf"; }
  QString SystemFile() const { return paths_.systemConfigDir + "/Ostravin/Velmoran.conf"; }

  static MountRecord Record(char letter) {
    MountRecord record;
    std::memset(&record, 0, sizeof record);
    record.sourceType = kSourceTypeNetwork;
    record.driveLetter = static_cast<uint8_t>(letter);
    record.serverAddress = 0x0100007F;
    record.cachePath[0] = u'x';
    return record;
  }

  testing::ScratchDir dir_;
  SettingsPaths paths_;
};

TEST_F(MounterSettingsTest, DefaultsWhenNothingIsStored) {
  MounterSettings settings(paths_);
  const AddDeviceDefaults defaults = settings.ReadAddDeviceDefaults();
  EXPECT_EQ(defaults.type, 0u);
  EXPECT_EQ(defaults.ipAddress, 0u);
  EXPECT_EQ(defaults.port, 60000u);
  EXPECT_TRUE(defaults.fileName.isEmpty());
  EXPECT_FALSE(defaults.tls);
  EXPECT_FALSE(settings.ReadDrive(0).has_value());
  EXPECT_FALSE(settings.ReadPassword(1, 2).has_value());
  EXPECT_EQ(settings.DriverRuntimeDir(), "/run/velmoran");
}

TEST_F(MounterSettingsTest, ValuesLieInTheUsersFileAsByteArraysWithMode0600) {
  MounterSettings settings(paths_);
  settings.WriteAddDeviceDefaults(
      {1, 0xC0A8010A, 61000, "/srv/disk.img", "10.0.0.6:60000, 10.0.0.7:60001", true});
  MountRecord secure = Record('Q');
  reinterpret_cast<uint8_t*>(&secure)[kMountFlagsOffset] = kMountFlagTls;
  settings.WriteDrive(3, secure);
  const Sha1Digest digest = PasswordDigest("secret");
  settings.WritePassword(0x0A01A8C0, 0x60EA, digest);

  struct stat st;
  ASSERT_EQ(::stat(QFile::encodeName(UserFile()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The layout other programs (and administrators) rely on.
  QSettings raw(UserFile(), QSettings::IniFormat);
  raw.beginGroup("Mounter");
  EXPECT_EQ(raw.value("Type").toByteArray(), QByteArray("\x01\0\0\0", 4));
  EXPECT_EQ(raw.value("IPAddress").toByteArray(), QByteArray("\x0A\x01\xA8\xC0", 4));
  EXPECT_EQ(raw.value("Port").toByteArray(), QByteArray("\x48\xEE\0\0", 4));
  EXPECT_EQ(raw.value("FileName").toString(), "/srv/disk.img");
  EXPECT_EQ(raw.value("MoreServers").toString(), "10.0.0.6:60000, 10.0.0.7:60001");
  EXPECT_EQ(raw.value("Tls").toByteArray(), QByteArray("\x01\0\0\0", 4));
  EXPECT_EQ(raw.value("Drive3").toByteArray().size(), 1264);
  EXPECT_EQ(raw.value("Passworda01a8c060ea").toByteArray(),
            QByteArray(reinterpret_cast<const char*>(digest.data()), 20));

  const AddDeviceDefaults back = settings.ReadAddDeviceDefaults();
  EXPECT_EQ(back.type, 1u);
  EXPECT_EQ(back.ipAddress, 0xC0A8010Au);
  EXPECT_EQ(back.port, 61000u);
  EXPECT_EQ(back.fileName, "/srv/disk.img");
  EXPECT_EQ(back.moreServers, "10.0.0.6:60000, 10.0.0.7:60001");
  EXPECT_TRUE(back.tls);
  // The drive keeps its TLS flag, so the automatic mount logs on by TLS too.
  const std::optional<MountRecord> drive = settings.ReadDrive(3);
  ASSERT_TRUE(drive.has_value());
  EXPECT_EQ(std::memcmp(&*drive, &secure, sizeof(MountRecord)), 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&*drive)[kMountFlagsOffset], kMountFlagTls);
  EXPECT_EQ(settings.ReadPassword(0x0A01A8C0, 0x60EA), digest);
}

// A long image path comes back whole: a cut one names another file.
TEST_F(MounterSettingsTest, TheLastImagePathIsReadBackWhole) {
  MounterSettings settings(paths_);
  AddDeviceDefaults defaults;
  defaults.type = 1;
  defaults.fileName = QStringLiteral("/srv/") + QString(300, QLatin1Char('d')) + ".img";
  settings.WriteAddDeviceDefaults(defaults);
  EXPECT_EQ(settings.ReadAddDeviceDefaults().fileName.toStdString(),
            defaults.fileName.toStdString());
}

// The log-on entry's Exec line follows the desktop entry rules, so that a
// program path with any of their reserved characters still starts: such a
// path is quoted, and within the quotes " ` $ \ are escaped; every
// backslash is escaped again as a string value's, and % is doubled.
TEST_F(MounterSettingsTest, TheLogOnEntryQuotesAProgramPathAsDesktopEntriesNeedIt) {
  MounterSettings settings(paths_);
  auto exec_line = [&](const QString& program) {
    EXPECT_TRUE(settings.WriteLogOnEntry(program));
    QFile file(settings.LogOnEntryPath());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    for (const QByteArray& line : file.readAll().split('\n')) {
      if (line.startsWith("Exec=")) return line.mid(5).toStdString();
    }
    return std::string();
  };
  EXPECT_EQ(exec_line("/usr/bin/velmoran-mounter"), "/usr/bin/velmoran-mounter -a");
  EXPECT_EQ(exec_line("/opt/my tools/velmoran-mounter"), "\"/opt/my tools/velmoran-mounter\" -a");
  EXPECT_EQ(exec_line("/home/o'brien/bin/velmoran-mounter"),
            "\"/home/o'brien/bin/velmoran-mounter\" -a");
  EXPECT_EQ(exec_line("/opt/velmoran(x86)/velmoran-mounter"),
            "\"/opt/velmoran(x86)/velmoran-mounter\" -a");
  EXPECT_EQ(exec_line("/opt/100%/velmoran-mounter"), "/opt/100%%/velmoran-mounter -a");
  EXPECT_EQ(exec_line("/opt/a$b`c\"d/velmoran-mounter"),
            R"("/opt/a\\$b\\`c\\"d/velmoran-mounter" -a)");
  EXPECT_EQ(exec_line("/opt/back\\slash/velmoran-mounter"),
            R"("/opt/back\\\\slash/velmoran-mounter" -a)");
}

TEST_F(MounterSettingsTest, PasswordValueNameTakesTheRecordsBytesInHexadecimal) {
  // 192.168.1.10 port 60000 as they lie in a record (network byte order).
  EXPECT_EQ(MounterSettings::PasswordValueName(0x0A01A8C0, 0x60EA), "Passworda01a8c060ea");
  EXPECT_EQ(MounterSettings::PasswordValueName(0x0100007F, 0x0100), "Password100007f100");
}

// Two servers whose value names are the same ("Passworda0000053412": 5.0.0.10
// port 4660 and 83.0.0.160 port 4612): the digest saved for one is never
// handed to the other, while a file written before the digests named their
// server keeps its digest.
TEST_F(MounterSettingsTest, ASavedDigestIsReadOnlyForItsOwnServer) {
  const uint32_t first_address = 0x0A000005;
  const uint16_t first_port = 0x3412;
  const uint32_t second_address = 0xA0000053;
  const uint16_t second_port = 0x0412;
  const QString name = MounterSettings::PasswordValueName(first_address, first_port);
  ASSERT_EQ(name, MounterSettings::PasswordValueName(second_address, second_port));

  MounterSettings settings(paths_);
  const Sha1Digest first = PasswordDigest("first");
  ASSERT_TRUE(settings.WritePassword(first_address, first_port, first));
  EXPECT_EQ(settings.ReadPassword(first_address, first_port), first);
  EXPECT_FALSE(settings.ReadPassword(second_address, second_port).has_value())
      << "the first server's digest would be sent to the second";
  // The value keeps its name and contents.
  EXPECT_EQ(QSettings(UserFile(), QSettings::IniFormat).value("Mounter/" + name).toByteArray(),
            QByteArray(reinterpret_cast<const char*>(first.data()), 20));
  EXPECT_EQ(QSettings(UserFile(), QSettings::IniFormat)
                .value("Mounter/ServerOf" + name)
                .toString()
                .toStdString(),
            "5.0.0.10:4660");

  const Sha1Digest second = PasswordDigest("second");
  ASSERT_TRUE(settings.WritePassword(second_address, second_port, second));
  EXPECT_EQ(settings.ReadPassword(second_address, second_port), second);
  EXPECT_FALSE(settings.ReadPassword(first_address, first_port).has_value());

  // A digest saved by an earlier mounter, with nothing beside it.
  QDir().mkpath(paths_.systemConfigDir + "/Ostravin");
  {
    QSettings system(SystemFile(), QSettings::IniFormat);
    system.setValue("Mounter/Password100007f100",
                    QByteArray(reinterpret_cast<const char*>(first.data()), 20));
  }
  EXPECT_EQ(settings.ReadPassword(0x0100007F, 0x0100), first);
}

using testing::UnderFileSizeLimit;

QByteArray FileBytes(const QString& name) {
  QFile file(name);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
}

// A settings file that cannot be written whole (a full disk) keeps what it
// held: the saved drives and digests are not replaced by a cut file, the
// write says it failed, and no temporary file is left beside it.
TEST_F(MounterSettingsTest, AWriteThatCannotBeCompletedKeepsTheFileAndSaysSo) {
  MounterSettings settings(paths_);
  auto drive_record = [&](int index) {
    MountRecord record = Record(static_cast<char>('A' + index));
    std::memset(record.cachePath, 0x41 + index, sizeof record.cachePath);
    return record;
  };
  for (int index = 0; index < kDriveSlots - 1; ++index) {
    ASSERT_TRUE(settings.WriteDrive(index, drive_record(index)));
  }
  const Sha1Digest digest = PasswordDigest("secret");
  ASSERT_TRUE(settings.WritePassword(0x0A01A8C0, 0x60EA, digest));
  const QByteArray before = FileBytes(UserFile());
  ASSERT_GT(before.size(), 8192);

  // Past Qt's first buffer of 16 KiB: a file cut there used to be renamed
  // over the settings file, and the write said it went through.
  const rlim_t limit = static_cast<rlim_t>(before.size()) * 3 / 4;
  EXPECT_FALSE(UnderFileSizeLimit(limit, [&] { return settings.WriteDrive(0, Record('Z')); }))
      << "a cut settings file was reported as written";
  EXPECT_TRUE(FileBytes(UserFile()) == before) << FileBytes(UserFile()).size() << " bytes left";
  EXPECT_FALSE(UnderFileSizeLimit(limit, [&] { return settings.RemoveDrive(6); }));
  EXPECT_TRUE(FileBytes(UserFile()) == before) << FileBytes(UserFile()).size() << " bytes left";
  EXPECT_FALSE(
      UnderFileSizeLimit(limit, [&] { return settings.RemovePassword(0x0A01A8C0, 0x60EA); }));
  EXPECT_TRUE(FileBytes(UserFile()) == before) << FileBytes(UserFile()).size() << " bytes left";
  EXPECT_FALSE(UnderFileSizeLimit(
      limit, [&] { return settings.WritePassword(0x0100007F, 0x0100, PasswordDigest("x")); }));
  EXPECT_FALSE(UnderFileSizeLimit(limit, [&] { return settings.SetTempFolder("/var/tmp"); }));
  EXPECT_TRUE(FileBytes(UserFile()) == before) << FileBytes(UserFile()).size() << " bytes left";
  // Room for the file as it is, not for one more drive.
  EXPECT_FALSE(UnderFileSizeLimit(static_cast<rlim_t>(before.size()) + 512,
                                  [&] { return settings.WriteDrive(7, drive_record(7)); }));
  EXPECT_TRUE(FileBytes(UserFile()) == before) << FileBytes(UserFile()).size() << " bytes left";
  EXPECT_EQ(QDir(paths_.userConfigDir + "/Ostravin")
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"Velmoran.conf"});
  EXPECT_FALSE(settings.ReadDrive(7).has_value());
  for (int index = 0; index < kDriveSlots - 1; ++index) {
    const std::optional<MountRecord> drive = settings.ReadDrive(index);
    ASSERT_TRUE(drive.has_value()) << index;
    EXPECT_EQ(drive->driveLetter, 'A' + index);
  }
  EXPECT_EQ(settings.ReadPassword(0x0A01A8C0, 0x60EA), digest);

  // With room again, the same writes go through, in the same format.
  ASSERT_TRUE(settings.WriteDrive(0, Record('Z')));
  ASSERT_TRUE(settings.WriteDrive(7, drive_record(7)));
  EXPECT_EQ(settings.ReadDrive(7)->driveLetter, 'H');
  ASSERT_TRUE(settings.RemoveDrive(7));
  ASSERT_TRUE(settings.RemovePassword(0x0A01A8C0, 0x60EA));
  EXPECT_EQ(settings.ReadDrive(0)->driveLetter, 'Z');
  EXPECT_FALSE(settings.ReadDrive(7).has_value());
  EXPECT_EQ(settings.ReadDrive(6)->driveLetter, 'G');
  EXPECT_FALSE(settings.ReadPassword(0x0A01A8C0, 0x60EA).has_value());
  QSettings raw(UserFile(), QSettings::IniFormat);
  EXPECT_EQ(raw.value("Mounter/Drive0").toByteArray().size(), 1264);
  EXPECT_FALSE(raw.contains("Mounter/Drive7"));
  EXPECT_FALSE(raw.contains("Mounter/Passworda01a8c060ea"));
  struct stat st;
  ASSERT_EQ(::stat(QFile::encodeName(UserFile()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(QDir(paths_.userConfigDir + "/Ostravin")
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{"Velmoran.conf"});
}

// The log-on entry is replaced, not written through: a link in its place
// (or a leftover "<entry>.new" link) leaves the file it names as it was,
// and an entry of its own keeps its mode.
TEST_F(MounterSettingsTest, TheLogOnEntryReplacesALinkInItsPlaceAndKeepsItsMode) {
  MounterSettings settings(paths_);
  const QString entry = settings.LogOnEntryPath();
  ASSERT_TRUE(QDir().mkpath(QFileInfo(entry).absolutePath()));
  const QString other = QString::fromStdString(dir_.File("other-file"));
  const QString stale_target = QString::fromStdString(dir_.File("stale-target"));
  for (const QString& name : {other, stale_target}) {
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write("keep me\n"), 8);
  }
  ASSERT_TRUE(QFile::link(other, entry));
  ASSERT_TRUE(QFile::link(stale_target, entry + ".new"));

  EXPECT_TRUE(settings.WriteLogOnEntry("/usr/bin/velmoran-mounter"));
  EXPECT_EQ(FileBytes(other).toStdString(), "keep me\n");
  EXPECT_EQ(FileBytes(stale_target).toStdString(), "keep me\n");
  struct stat st;
  ASSERT_EQ(::lstat(QFile::encodeName(entry).constData(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the entry is still a link";
  EXPECT_TRUE(FileBytes(entry).contains("\nExec=/usr/bin/velmoran-mounter -a\n"));
  EXPECT_FALSE(QFileInfo::exists(entry + ".new"));
  EXPECT_FALSE(QFileInfo(entry + ".new").isSymLink());

  ASSERT_EQ(::chmod(QFile::encodeName(entry).constData(), 0640), 0);
  EXPECT_TRUE(settings.WriteLogOnEntry("/opt/velmoran/velmoran-mounter"));
  ASSERT_EQ(::lstat(QFile::encodeName(entry).constData(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(FileBytes(entry).contains("\nExec=/opt/velmoran/velmoran-mounter -a\n"));
  EXPECT_EQ(QDir(QFileInfo(entry).absolutePath())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                .join(' ')
                .toStdString(),
            "VelmoranMounter.desktop");
}

// A settings file that is a link (to a file kept elsewhere) stays one: its
// target is replaced, as QSettings itself did.
TEST_F(MounterSettingsTest, ALinkedSettingsFileKeepsItsLink) {
  const QString kept = QString::fromStdString(dir_.File("dotfiles/Velmoran.conf"));
  ASSERT_TRUE(QDir().mkpath(QFileInfo(kept).absolutePath()));
  ASSERT_TRUE(QDir().mkpath(QFileInfo(UserFile()).absolutePath()));
  {
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QFile::link(kept, UserFile()));
  MounterSettings settings(paths_);
  ASSERT_TRUE(settings.WriteDrive(2, Record('L')));
  EXPECT_TRUE(QFileInfo(UserFile()).isSymLink());
  EXPECT_EQ(QSettings(kept, QSettings::IniFormat).value("Mounter/Drive2").toByteArray().size(),
            1264);
  ASSERT_TRUE(settings.RemoveDrive(2));
  EXPECT_TRUE(QFileInfo(UserFile()).isSymLink());
  EXPECT_FALSE(QSettings(kept, QSettings::IniFormat).contains("Mounter/Drive2"));
  struct stat st;
  ASSERT_EQ(::stat(QFile::encodeName(kept).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Whatever is in the settings file's place, other than a file, keeps its
// mode: a folder there is not made 0600, which would lock its owner out.
TEST_F(MounterSettingsTest, AFolderInTheSettingsFilesPlaceKeepsItsMode) {
  ASSERT_TRUE(QDir().mkpath(UserFile() + "/inside"));
  const QByteArray folder = QFile::encodeName(UserFile());
  ASSERT_EQ(::chmod(folder.constData(), 0755), 0);
  MounterSettings settings(paths_);
  EXPECT_FALSE(settings.WriteDrive(0, Record('Q')));
  EXPECT_FALSE(settings.WritePassword(1, 2, PasswordDigest("x")));
  struct stat st;
  ASSERT_EQ(::stat(folder.constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_TRUE(QFileInfo(UserFile() + "/inside").isDir());
}

TEST_F(MounterSettingsTest, UsersValuesComeBeforeTheAdministratorsAndBadSizesAreIgnored) {
  QDir().mkpath(paths_.systemConfigDir + "/Ostravin");
  {
    QSettings system(SystemFile(), QSettings::IniFormat);
    system.beginGroup("Mounter");
    const MountRecord seeded = Record('S');
    system.setValue("Drive0", QByteArray(reinterpret_cast<const char*>(&seeded), sizeof seeded));
    system.setValue("Drive1", QByteArray(reinterpret_cast<const char*>(&seeded), sizeof seeded));
    system.setValue("Drive2", QByteArray(100, 'x'));
    system.setValue("DriverRuntimeDir", "/run/elsewhere");
  }
  MounterSettings settings(paths_);
  settings.WriteDrive(1, Record('U'));
  ASSERT_TRUE(settings.ReadDrive(0).has_value());
  EXPECT_EQ(settings.ReadDrive(0)->driveLetter, 'S');
  ASSERT_TRUE(settings.ReadDrive(1).has_value());
  EXPECT_EQ(settings.ReadDrive(1)->driveLetter, 'U');
  EXPECT_FALSE(settings.ReadDrive(2).has_value());
  EXPECT_FALSE(settings.ReadDrive(8).has_value());
  EXPECT_EQ(settings.DriverRuntimeDir(), "/run/elsewhere");
  // A removed slot stays empty, whether the user's or the administrator's
  // value held it.
  settings.WriteDrive(3, Record('V'));
  settings.RemoveDrive(3);
  settings.RemoveDrive(1);
  settings.RemoveDrive(0);
  EXPECT_FALSE(settings.ReadDrive(3).has_value());
  EXPECT_FALSE(settings.ReadDrive(1).has_value());
  EXPECT_FALSE(settings.ReadDrive(0).has_value());
  EXPECT_FALSE(QSettings(UserFile(), QSettings::IniFormat).contains("Mounter/Drive3"));
  // The administrator's file is only read.
  QSettings system(SystemFile(), QSettings::IniFormat);
  EXPECT_FALSE(system.contains("Mounter/Drive1") &&
               system.value("Mounter/Drive1").toByteArray().at(22) == 'U');
}

TEST_F(MounterSettingsTest, TempFolderEndsInASlashAndFallsBackToTheCache) {
  MounterSettings settings(paths_);
  const QString fallback = paths_.cacheDir + "/velmoran/";
  EXPECT_EQ(settings.GetTempFolder(), fallback);
  EXPECT_TRUE(QDir(fallback).exists());

  const QString own = QString::fromStdString(dir_.File("own"));
  QDir().mkpath(own);
  settings.SetTempFolder(own);
  EXPECT_EQ(settings.GetTempFolder(), own + "/");
  QSettings raw(UserFile(), QSettings::IniFormat);
  EXPECT_EQ(raw.value("TempFolder").toString(), own);  // in [General]

  QDir(own).removeRecursively();
  EXPECT_EQ(settings.GetTempFolder(), fallback);
}

TEST_F(MounterSettingsTest, SettingsDialogRepairsTheLogOnEntryAndRefusesABadFolder) {
  MounterSettings settings(paths_);
  SettingsDialogValues values = OpenSettingsDialog(settings, "/usr/bin/velmoran-mounter");
  EXPECT_FALSE(values.startAtLogOn);
  EXPECT_FALSE(settings.HasLogOnEntry());  // opening writes nothing when absent
  EXPECT_EQ(values.tempFolder, paths_.cacheDir + "/velmoran/");

  const QString folder = QString::fromStdString(dir_.File("new/cache"));
  values.tempFolder = folder;
  values.startAtLogOn = true;
  EXPECT_EQ(AcceptSettingsDialog(settings, "/usr/bin/velmoran-mounter", values), "");
  EXPECT_TRUE(QDir(folder).exists());
  EXPECT_EQ(settings.GetTempFolder(), folder + "/");
  EXPECT_EQ(settings.LogOnEntryPath(), paths_.userConfigDir + "/autostart/VelmoranMounter.desktop");
  auto exec_line = [&] {
    QFile file(settings.LogOnEntryPath());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    for (const QByteArray& line : file.readAll().split('\n')) {
      if (line.startsWith("Exec=")) return QString::fromUtf8(line.mid(5));
    }
    return QString();
  };
  EXPECT_EQ(exec_line(), "/usr/bin/velmoran-mounter -a");

  // A moved program repairs its entry when the dialog opens.
  values = OpenSettingsDialog(settings, "/opt/velmoran/velmoran-mounter");
  EXPECT_TRUE(values.startAtLogOn);
  EXPECT_TRUE(values.logOnEntryRepaired);
  EXPECT_EQ(exec_line(), "/opt/velmoran/velmoran-mounter -a");

  // A folder that cannot be made keeps the dialog open and changes nothing.
  const QString blocker = QString::fromStdString(dir_.File("plain-file"));
  QFile(blocker).open(QIODevice::WriteOnly);
  for (const QString& bad : {blocker + "/sub", QString("relative/dir")}) {
    values.tempFolder = bad;
    values.startAtLogOn = false;
    EXPECT_EQ(AcceptSettingsDialog(settings, "/opt/velmoran/velmoran-mounter", values),
              "Path not exist or the path specified is invalid.");
    EXPECT_TRUE(settings.HasLogOnEntry());
    EXPECT_EQ(settings.GetTempFolder(), folder + "/");
  }

  // Clearing the box deletes the entry.
  values.tempFolder = folder;
  values.startAtLogOn = false;
  EXPECT_EQ(AcceptSettingsDialog(settings, "/opt/velmoran/velmoran-mounter", values), "");
  EXPECT_FALSE(settings.HasLogOnEntry());
}

TEST_F(MounterSettingsTest, SettingsDialogStaysOpenWhenTheLogOnEntryOrTheFolderCannotBeStored) {
  MounterSettings settings(paths_);
  const QString folder = QString::fromStdString(dir_.File("cache-folder"));
  SettingsDialogValues values{true, folder};

  // A plain file where the autostart folder goes: the entry cannot be written.
  QDir().mkpath(paths_.userConfigDir);
  const QString autostart = paths_.userConfigDir + "/autostart";
  QFile(autostart).open(QIODevice::WriteOnly);
  EXPECT_NE(AcceptSettingsDialog(settings, "/usr/bin/velmoran-mounter", values), "")
      << "the log-on entry was not written and the dialog closed";
  EXPECT_FALSE(settings.HasLogOnEntry());

  // A folder in the entry's place: it cannot be removed.
  QFile::remove(autostart);
  QDir().mkpath(settings.LogOnEntryPath() + "/inside");
  values.startAtLogOn = false;
  EXPECT_NE(AcceptSettingsDialog(settings, "/usr/bin/velmoran-mounter", values), "")
      << "the log-on entry was not removed and the dialog closed";
  EXPECT_TRUE(settings.HasLogOnEntry());
  // Nor rewritten when the dialog opens, and that is said.
  EXPECT_FALSE(OpenSettingsDialog(settings, "/usr/bin/velmoran-mounter").logOnEntryRepaired);
  QDir(settings.LogOnEntryPath()).removeRecursively();

  // A folder in the settings file's place: the temporary folder is not kept.
  ASSERT_TRUE(QFile::remove(UserFile()));
  ASSERT_TRUE(QDir().mkpath(UserFile()));
  EXPECT_NE(AcceptSettingsDialog(settings, "/usr/bin/velmoran-mounter", values), "")
      << "the temporary folder was not stored and the dialog closed";
}

}  // namespace
}  // namespace quensaria::mounter
