// Runs the fuzz target over stored inputs, without libFuzzer: the seeds and
// every crash a fuzzing run found, kept as regressions.
//   fuzz_replay FILE_OR_DIR...
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int Replay(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode)) {
            count += Replay(argv[i]);
            continue;
        }
        if (DIR *d = opendir(argv[i])) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    count += Replay(std::string(argv[i]) + "/" + e->d_name);
            closedir(d);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
