// Writes the generated resource files into the folder named on the command line:
// kelvaro.ico (32x32 and 16x16), kelvaro_small.ico (16x16) and wavbeep.wav.
#include "app/resgen/icon.h"
#include "app/resgen/wave.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "resgen: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}    // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: resgen <output folder>\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";

    const std::vector<IconImage> mainIcon = {iconDrawDisplay(32, true), iconDrawDisplay(16, true)};
    const std::vector<IconImage> smallIcon = {iconDrawDisplay(16, false)};

    const bool ok = writeFile(folder + "kelvaro.ico", iconBuildFile(mainIcon)) &&
                    writeFile(folder + "kelvaro_small.ico", iconBuildFile(smallIcon)) &&
                    writeFile(folder + "wavbeep.wav", waveBuildAlert());
    return ok ? 0 : 1;
}
