// The settings that persist between runs, and how they are stored.
#pragma once

#include <QString>
#include <cstdint>

#include "Platform.h"

struct TRepairSettings {
    bool OpenFixed = true;
    int32_t Channels = 3;
    int32_t Rows = 600;
    int32_t Columns = 800;
    int32_t Depth = 8;
    int32_t Mode = 3;
    bool HeuristicRecovery = true;
    QString TempDir;
    int32_t BufSize = 512;
    int32_t OpenFilterIndex = 1;
    int32_t SaveFilterIndex = 1;
    bool RebuildDocument = true; ///< stored after the others; an older file without it gives true
};

/// Fills settings from the store, value by value in the order of the record.
/// A missing value gives the default (TempDir's is defaultTempDir); an
/// integer stored as a string is read as a decimal number (the default when
/// it is no number); a Boolean is true when its integer is not 0. Raises
/// RegistryError for a value of another type.
void LoadSettings(ISettingsStore &store, TRepairSettings &settings, const QString &defaultTempDir);

/// Writes every field: Booleans as the strings "0" and "1", integers as
/// double words unless the value already exists as a string, then as a
/// decimal string; TempDir as a string. Raises RegistryError.
void SaveSettings(ISettingsStore &store, const TRepairSettings &settings);
