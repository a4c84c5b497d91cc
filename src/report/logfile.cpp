// Reading a log file from disk, whole, for the reader.
#include "report/logreader.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

bool readLogFile(const std::string& path, std::string* text, std::string* problem)
{
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        *problem = path + " is a folder: expected the path of a log file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *problem = "cannot read " + path;
        return false;
    }
    text->clear();
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size < (std::uintmax_t{1} << 31))
        text->reserve(static_cast<size_t>(size));
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0)
        text->append(chunk.data(), static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        *problem = "cannot read " + path;
        return false;
    }
    return true;
}
