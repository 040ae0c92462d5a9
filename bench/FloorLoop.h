// The floor of the callback protocol: two callback calls per byte position
// through a function pointer, and nothing else.
#pragma once

#include <cstdint>

#include "ZeltApi.h"

/// Seconds for `positions` iterations of: abort poll, progress report.
double FloorLoopSeconds(EngineCallback cb, uint64_t positions);
