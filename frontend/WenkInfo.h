// The system-information block of a saved log.
#pragma once

#include <QStringList>

#include "Platform.h"

/// Appends the block for the program file at programPath: version,
/// operating system, directories, memory, environment and drives, each part
/// framed by rule lines, ending with "End of System Information" and a rule.
void AddSystemInformation(QStringList &list, IPlatformServices &platform, const QString &programPath);

/// The number with the locale's group separator ("%.0n").
QString FormatBytes(double value);
