// The program file's version record: an ELF note that GetFileVersionText
// reads back from the file. Compiled into each program, never into a
// library, with VELMORA_VERSION_{MAJOR,MINOR,PATCH,BUILD} from the build.
#include <cstdint>

namespace {

struct VersionNote {
    uint32_t nameSize, descSize, type;
    char name[8];
    uint32_t fileMS, fileLS, productMS, productLS;
};

constexpr uint32_t MS = (VELMORA_VERSION_MAJOR << 16) | VELMORA_VERSION_MINOR;
constexpr uint32_t LS = (VELMORA_VERSION_PATCH << 16) | VELMORA_VERSION_BUILD;

[[gnu::used, gnu::section(".note.velmora.version"), gnu::aligned(4)]] const VersionNote kVersionNote = {
    8, 16, 0x56455231, "Velmora", MS, LS, MS, LS,
};

} // namespace
