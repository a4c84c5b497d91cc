// The findings page the tool leaves at exit: kelvaro-report's page of its own log, kept in the
// user's Documents folder so that it can be found again after the log's file is gone.
#include "core/report.h"

#include "report/logreader.h"
#include "report/outputs.h"
#include "report/summary.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

// Documents\kelvaro, made when missing; false when there is no such folder.
bool pageFolder(std::string* folder)
{
    char documents[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, documents)))
        return false;
    *folder = std::string(documents) + "\\kelvaro";
    return CreateDirectoryA(folder->c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}   // namespace

bool writeFindingsPage(const char* text, int32_t length, char* path, size_t size)
{
    try {
        KelvaroLog log;
        std::string problem;
        if (text == nullptr || length <= 0 || !readKelvaroLog(std::string_view(text, static_cast<size_t>(length)), &log, &problem))
            return false;
        const std::string page = reportHtml(summarizeLog(std::move(log)));
        std::string folder;
        if (!pageFolder(&folder))
            return false;
        SYSTEMTIME now;
        GetLocalTime(&now);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "kelvaro-%04u-%02u-%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond);
        // CREATE_NEW: never a file that is there already; a number added instead.
        for (int n = 1; n <= 20; ++n) {
            const std::string name = folder + "\\" + stamp + (n == 1 ? "" : "-" + std::to_string(n)) + ".html";
            if (name.size() + 1 > size)
                return false;
            HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                if (GetLastError() == ERROR_FILE_EXISTS)
                    continue;
                return false;
            }
            DWORD written = 0;
            const bool ok = WriteFile(file, page.data(), static_cast<DWORD>(page.size()), &written, nullptr) &&
                            written == page.size();
            CloseHandle(file);
            if (!ok) {
                DeleteFileA(name.c_str());
                return false;
            }
            std::memcpy(path, name.c_str(), name.size() + 1);
            return true;
        }
        return false;
    } catch (const std::exception&) {
        return false;   // no memory for the page: the log's own report goes on
    }
}
