// zelt_recover SOURCE OUTPUT_DIR [CHANNELS HEIGHT WIDTH DEPTH MODE]
//
// Runs RecoverFile once and prints what the callback hears, one line each:
// "written PATH", "error TEXT", "status TEXT". Exits 0 when something was
// recovered, 1 when not. The acceptance tests drive the engine with it.
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
    if (argc != 3 && argc != 8) {
        std::fprintf(stderr, "usage: zelt_recover SOURCE OUTPUT_DIR [CHANNELS HEIGHT WIDTH DEPTH MODE]\n");
        return 2;
    }
    RepairOptions options{22, 3, 600, 800, 8, 3, 1};
    if (argc == 8) {
        options.ChannelCount = static_cast<uint16_t>(std::atoi(argv[3]));
        options.ImageHeight = static_cast<uint32_t>(std::atol(argv[4]));
        options.ImageWidth = static_cast<uint32_t>(std::atol(argv[5]));
        options.BitsPerChannel = static_cast<uint16_t>(std::atoi(argv[6]));
        options.ColorMode = static_cast<uint16_t>(std::atoi(argv[7]));
    }
    EngineParams params{argv[1], &options, 0, argv[2], &Print, nullptr};
    ZeltMaskParams(&params, sizeof params);
    return RecoverFile(&params) ? 0 : 1;
}
