#include "same_file.h"

#include <QFile>

#include <sys/stat.h>

bool same_file(const QString &a, const QString &b)
{
    struct stat x = {}, y = {};
    return ::stat(QFile::encodeName(a).constData(), &x) == 0 && ::stat(QFile::encodeName(b).constData(), &y) == 0
           && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}
