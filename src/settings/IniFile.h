#pragma once

#include "base/Result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace freshgate {

// The settings file is shared with the product and with whatever else the user edits it with, so
// a write must not do what QSettings' own writer does (parse the whole file and write back only
// what it understood). These change one key's value and leave every other byte as it was:
// comments, lines QSettings cannot parse, values in plain INI form, line endings, key order.
// Sections, keys and values are spelled the way QSettings' INI format writes them
// ("[User%20preferences]", "Resource%20file%20version=7", quoted when needed), and a key is
// found the way QSettings reads it, so QSettings reads back exactly the value written.

// ini with section/key set to value. Every line that QSettings would read as that key gets the
// new value in place of the old one (its spelling of the key, the blanks around the value and a
// trailing comment are kept); with no such line a new one ends the section's last occurrence;
// with no such section, the section and the line are appended. New lines take the file's line
// ending. section must not be empty.
[[nodiscard]] QByteArray iniWithValue(QByteArrayView ini, const QString &section,
                                      const QString &key, const QString &value);

// Sets section/key to value in the INI file at path (created with its folder when missing),
// atomically, through the same durable write as the install's journal: the new text goes to a
// temporary file beside it, is flushed to the disk and renamed over the file, and the folder is
// flushed. A symbolic link is followed, the file's permissions are kept. Takes the lock file
// QSettings takes for writing, so a Qt program never interleaves a write. The file's
// modification time always advances, so every QSettings that looks at size and time (ours
// included) sees the change. A failure is this computer's, naming the file or its folder, and
// leaves the file as it was.
[[nodiscard]] Status writeIniValue(const QString &path, const QString &section, const QString &key,
                                   const QString &value);

} // namespace freshgate
