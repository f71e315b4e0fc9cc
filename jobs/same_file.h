#pragma once

#include <QString>

// Whether two names reach one file, however each is spelt (a link, "./", a second hard
// link): the same device and inode where the system has them (same_file_posix.cpp), the
// same canonical path otherwise. False when either is not there.
bool same_file(const QString &a, const QString &b);
