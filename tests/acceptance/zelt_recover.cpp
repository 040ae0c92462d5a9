// zelt_recover SOURCE OUTPUT_DIR [CHANNELS HEIGHT WIDTH DEPTH MODE] [FLAGS]
//
// Runs RecoverFile once and prints what the callback hears, one line each:
// "written PATH", "error TEXT", "status TEXT". FLAGS is the value of
// RepairOptions.RecoveryFlags (decimal or 0x hex; ZELT_RECOVER_HEURISTIC
// when not given). Exits 0 when something was recovered, 1 when not, 2 on a
// usage error. The acceptance tests drive the engine with it.
#include <cstdio>
#include <cstdlib>

#include "ZeltApi.h"

static int32_t ZELT_CALL Print(int32_t code, const void *data, void *)
{
    const char *text = static_cast<const char *>(data);
    if (code == MSG_FILE_WRITTEN)
        std::printf("written %s\n", text);
    else if (code == MSG_ERROR)
        std::printf("error %s\n", text);
    else if (code == MSG_STATUS)
        std::printf("status %s\n", text);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4 && argc != 8 && argc != 9) {
        std::fprintf(stderr, "usage: zelt_recover SOURCE OUTPUT_DIR [CHANNELS HEIGHT WIDTH DEPTH MODE] [FLAGS]\n");
        return 2;
    }
    RepairOptions options{ZELT_REPAIR_OPTIONS_SIZE, 3, 600, 800, 8, 3, ZELT_RECOVER_HEURISTIC};
    if (argc >= 8) {
        options.ChannelCount = static_cast<uint16_t>(std::atoi(argv[3]));
        options.ImageHeight = static_cast<uint32_t>(std::atol(argv[4]));
        options.ImageWidth = static_cast<uint32_t>(std::atol(argv[5]));
        options.BitsPerChannel = static_cast<uint16_t>(std::atoi(argv[6]));
        options.ColorMode = static_cast<uint16_t>(std::atoi(argv[7]));
    }
    if (argc == 4 || argc == 9)
        options.RecoveryFlags = static_cast<uint32_t>(std::strtoul(argv[argc - 1], nullptr, 0));
    EngineParams params{argv[1], &options, 0, argv[2], &Print, nullptr};
    ZeltMaskParams(&params, sizeof params);
    return RecoverFile(&params) ? 0 : 1;
}
