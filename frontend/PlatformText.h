// Names and texts that both the window and the platform layer need: where
// the help manual lies, and the file dialogs' filter form. This unit sits
// below both, so the platform layer knows nothing of the window.
#pragma once

#include <QString>

/// The help manual of the program at programPath: the program's path with
/// ".html" in place of its extension where that file exists (the build
/// tree), else the installed manual under share/doc/velmora.
QString HelpFileFor(const QString &programPath);

/// Converts a filter of the form "Name|patterns|Name|patterns" (patterns
/// joined by ";") to Qt's "Name (p1 p2);;Name (p)".
QString QtFilter(const QString &filter);
