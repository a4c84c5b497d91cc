// Reading a log file from disk, whole, for the reader.
#include "report/logreader.h"

#include <cstdint>
#include <string>
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

namespace {

constexpr const char* kBanner = "========== Startup ==========";
// Lines before the banner are skipped only this near the start: a prompt or a command copied
// with the log, not a file that merely quotes a log somewhere.
constexpr size_t kPreambleBytes = 4096;

void appendUtf8(uint32_t code, std::string* out)
{
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-16 after its byte-order mark, as UTF-8; a lone surrogate becomes U+FFFD, an odd last
// byte is dropped.
std::string fromUtf16(const std::string& raw, bool bigEndian)
{
    std::string out;
    out.reserve(raw.size() / 2);
    const auto unit = [&](size_t at) {
        const auto b0 = static_cast<unsigned char>(raw[at]), b1 = static_cast<unsigned char>(raw[at + 1]);
        return static_cast<uint32_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
    };
    for (size_t at = 2; at + 1 < raw.size(); at += 2) {
        uint32_t code = unit(at);
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < raw.size()) {
            const uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            } else {
                code = 0xFFFD;
            }
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        appendUtf8(code, &out);
    }
    return out;
}

bool bannerAt(const std::string& text, size_t at)
{
    const size_t length = std::char_traits<char>::length(kBanner);
    if (text.compare(at, length, kBanner) != 0)
        return false;
    const size_t end = at + length;
    return end == text.size() || text[end] == '\n' || (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n');
}

}   // namespace

LogFileText logFileText(std::string raw)
{
    LogFileText file;
    const auto starts = [&](const char* bytes, size_t n) { return raw.size() >= n && raw.compare(0, n, bytes, n) == 0; };
    if (starts("\xFF\xFE", 2)) {
        file.text = fromUtf16(raw, false);
        file.encoding = "UTF-16LE";
    } else if (starts("\xFE\xFF", 2)) {
        file.text = fromUtf16(raw, true);
        file.encoding = "UTF-16BE";
    } else if (starts("\xEF\xBB\xBF", 3)) {
        file.text = raw.substr(3);
        file.encoding = "UTF-8 with a byte-order mark";
    } else {
        file.text = std::move(raw);
    }
    const std::string& text = file.text;
    // Each banner at the start of a line begins a log, the first near the top; none there: the
    // text as it is, for the reader to refuse.
    size_t lineNumber = 1;
    for (size_t at = 0; at < text.size() && (at <= kPreambleBytes || !file.logs.empty()); ++lineNumber) {
        if (bannerAt(text, at)) {
            if (!file.logs.empty())
                file.logs.back().to = at;
            file.logs.push_back({at, text.size(), lineNumber, file.logs.empty() ? lineNumber - 1 : 0});
        }
        const size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    if (file.logs.empty())
        file.logs.push_back({0, text.size(), 1, 0});
    return file;
}

std::string logFileNote(const LogFileText& file, size_t i)
{
    std::string note;
    const auto add = [&](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
    if (!file.encoding.empty())
        add("read as " + file.encoding);
    if (i < file.logs.size() && file.logs[i].skippedLines > 0)
        add(std::to_string(file.logs[i].skippedLines) + (file.logs[i].skippedLines == 1 ? " line" : " lines") +
            " before the banner skipped");
    if (file.logs.size() > 1) {
        std::string others;
        for (size_t k = 0; k < file.logs.size(); ++k) {
            if (k != i)
                others += (others.empty() ? "" : ", ") + std::to_string(file.logs[k].line);
        }
        add("log " + std::to_string(i + 1) + " of " + std::to_string(file.logs.size()) +
            " in the file, from its line " + std::to_string(file.logs[i].line) + " (the others begin at line" +
            (file.logs.size() > 2 ? "s " : " ") + others + ")");
    }
    return note;
}
