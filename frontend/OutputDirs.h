// The output folders of the window's repairs: a default folder that already
// holds files is never used again (the next free <stem>_recovered_<k>/ is),
// and a folder that a repair created and left empty goes again.
#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

/// True when path names anything but a missing or empty directory: a
/// directory with entries (hidden ones too), or a file.
bool FolderHoldsFiles(const QString &path);

/// The first of first, first_2/, first_3/ ... (first ends in "/") that is
/// neither among taken nor holds files.
QString FreeOutputFolder(const QString &first, const QSet<QString> &taken);

/// The directories of dir and its parents that do not exist, the deepest
/// first: what creating dir will create.
QStringList MissingDirectories(const QString &dir);

/// Removes those of dirs (the deepest first) that are empty; stops at the
/// first that is not.
void RemoveEmptyDirectories(const QStringList &dirs);
