// kelvaro.exe itself: a 32-bit x86 GUI program that imports only system DLLs and binds
// the compositor and DirectDraw at run time instead of importing them.
#include "e2e/driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace {

struct PeImage {
    std::string bytes;
    const IMAGE_NT_HEADERS32* nt = nullptr;

    template <typename T>
    const T* at(size_t offset) const
    {
        return offset + sizeof(T) <= bytes.size()
                   ? reinterpret_cast<const T*>(bytes.data() + offset)
                   : nullptr;
    }

    // File offset of a relative virtual address, through the section table.
    size_t offsetOf(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            const DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return static_cast<size_t>(-1);
    }
};

bool loadPe(const std::string& path, PeImage& image)
{
    image.bytes = readWholeFile(path);
    const IMAGE_DOS_HEADER* dos = image.at<IMAGE_DOS_HEADER>(0);
    if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    image.nt = image.at<IMAGE_NT_HEADERS32>(static_cast<size_t>(dos->e_lfanew));
    return image.nt != nullptr && image.nt->Signature == IMAGE_NT_SIGNATURE;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The 32-bit program the release holds: beside this one, or, where the tests run on the
// 64-bit build (a host that runs no 32-bit code), in the 32-bit build folder beside it.
std::string releasedProgram()
{
    return programFolder() + (sizeof(void*) == 8 ? "../windows/kelvaro.exe" : "kelvaro.exe");
}

TEST(Executable, IsA32BitGuiProgramImportingSystemDllsOnly)
{
    PeImage image;
    ASSERT_TRUE(loadPe(releasedProgram(), image)) << "no 32-bit program at " << releasedProgram();
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, image.nt->FileHeader.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, image.nt->OptionalHeader.Magic);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, image.nt->OptionalHeader.Subsystem);

    const IMAGE_DATA_DIRECTORY& directory =
        image.nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(0u, directory.VirtualAddress);
    size_t offset = image.offsetOf(directory.VirtualAddress);
    std::set<std::string> imported;
    for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const IMAGE_IMPORT_DESCRIPTOR* entry = image.at<IMAGE_IMPORT_DESCRIPTOR>(offset);
        ASSERT_NE(nullptr, entry) << "import table runs past the file";
        if (entry->Name == 0)
            break;
        const size_t nameOffset = image.offsetOf(entry->Name);
        ASSERT_LT(nameOffset, image.bytes.size());
        imported.insert(upper(image.bytes.c_str() + nameOffset));
    }

    const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL",  "GDI32.DLL",
                                          "WINMM.DLL",    "SHELL32.DLL", "MSVCRT.DLL",
                                          "ADVAPI32.DLL"};
    EXPECT_TRUE(imported.count("KERNEL32.DLL"));
    for (const std::string& name : imported)
        EXPECT_TRUE(system.count(name)) << name << " is not a system DLL it may import";
    EXPECT_FALSE(imported.count("DWMAPI.DLL"));
    EXPECT_FALSE(imported.count("DDRAW.DLL"));
}

}  // namespace
