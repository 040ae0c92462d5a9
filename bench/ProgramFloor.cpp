// The floor loop compiled into the benchmark program itself.
#define FloorLoopSeconds ProgramFloorSeconds
#include "FloorLoop.cpp"
