#include "same_file.h"

#include <QFileInfo>

// Without inodes, a hard link goes unseen; links and spellings are resolved.
bool same_file(const QString &a, const QString &b)
{
    const QString x = QFileInfo(a).canonicalFilePath();
    return !x.isEmpty() && x == QFileInfo(b).canonicalFilePath();
}
