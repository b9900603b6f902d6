#pragma once
// Writing a whole file so that no reader ever sees part of it: the window's list
// export and brenu-search's metrics file.
#include <QByteArray>
#include <QString>

// Writes `bytes` to a new file in the folder of `path` and renames it onto `path`
// only once it is complete and flushed (QSaveFile). A file that existed keeps its
// permissions; a new one gets 0666 less the umask. Returns "" on success, else the
// reason; after a failure whatever was under the name before is still there (or
// nothing), and no temporary file is left behind.
QString SaveFileAtomically(const QString &path, const QByteArray &bytes);
