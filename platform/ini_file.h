// Checked writes to an INI file kept with QSettings (Qt 6), for the
// mounter's and the configurator's settings. QSettings' own sync can rename
// a cut file (a full disk, the file size limit) over the one it writes and
// still report no error; these writes replace the file only with a copy
// that reads back whole and is on the disk, or leave it as it was.
// Thread-compatible; the lock QSettings takes for the file ("<file>.lock")
// keeps two processes' edits from undoing each other.
#ifndef QUENSARIA_PLATFORM_INI_FILE_H_
#define QUENSARIA_PLATFORM_INI_FILE_H_

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <utility>
#include <vector>

namespace quensaria::platform {

// Removes `removed` and then sets `values` in `group` (empty: [General]) of
// the existing file `file`, a regular file or a link to one (the link stays,
// its target is replaced). The new file gets the old one's permission bits
// and group (a group the writer may not give stays the writer's); its
// temporaries beside it are 0600 until then. True when the file holds the
// values and is on the disk; false leaves it as it was, with no temporary
// left over.
bool WriteIniValues(const QString& file, const QString& group,
                    const std::vector<std::pair<QString, QVariant>>& values,
                    const QStringList& removed = {});

// The pieces of such a replacement, for files written whole: all of
// `bytes` to `fd` (interrupts retried); an fsync of the file or folder
// `name` opened with `flags`. False when the system said no.
bool WriteAll(int fd, const QByteArray& bytes);
bool SyncPath(const QByteArray& name, int flags);

}  // namespace quensaria::platform

#endif  // QUENSARIA_PLATFORM_INI_FILE_H_
