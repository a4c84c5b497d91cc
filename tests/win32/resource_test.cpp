// kelvaro.exe's compiled resources, read from the built program as a data file: the
// alert sound, the menu, the accelerators, the About box and the icon groups.
#include "app/resource.h"
#include "kelvaro_version.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// kelvaro.exe lies beside the test program.
std::string programPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    const size_t slash = folder.find_last_of("\\/");
    folder.erase(slash == std::string::npos ? 0 : slash + 1);
    return folder + "kelvaro.exe";
}

uint32_t u16(const uint8_t* b, size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

uint32_t u32(const uint8_t* b, size_t at)
{
    return u16(b, at) | (u16(b, at + 2) << 16);
}

std::string tag(const uint8_t* b, size_t at)
{
    return std::string(reinterpret_cast<const char*>(b) + at, 4);
}

class KelvaroResources : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        module = LoadLibraryExA(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    static void TearDownTestSuite()
    {
        if (module)
            FreeLibrary(module);
        module = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(nullptr, module) << programPath() << " does not load, error " << GetLastError();
    }

    // The bytes of a resource, or an empty vector when it is missing.
    static std::vector<uint8_t> bytesOf(LPCSTR name, LPCSTR type)
    {
        HRSRC found = FindResourceA(module, name, type);
        if (!found)
            return {};
        HGLOBAL loaded = LoadResource(module, found);
        const uint8_t* data = loaded ? static_cast<const uint8_t*>(LockResource(loaded)) : nullptr;
        if (!data)
            return {};
        return std::vector<uint8_t>(data, data + SizeofResource(module, found));
    }

    static HMODULE module;
};

HMODULE KelvaroResources::module = nullptr;

TEST_F(KelvaroResources, WaveSoundIsFoundByItsLowerCaseNameWithItsRiffHeader)
{
    HRSRC found = FindResourceA(module, "wavbeep", "WAVE");
    ASSERT_NE(nullptr, found);
    ASSERT_EQ(44664u, SizeofResource(module, found));

    const std::vector<uint8_t> wave = bytesOf("wavbeep", "WAVE");
    ASSERT_EQ(44664u, wave.size());
    const uint8_t* b = wave.data();
    EXPECT_EQ("RIFF", tag(b, 0));
    EXPECT_EQ(44656u, u32(b, 4));
    EXPECT_EQ("WAVE", tag(b, 8));
    EXPECT_EQ("fmt ", tag(b, 12));
    EXPECT_EQ(16u, u32(b, 16));
    EXPECT_EQ(1u, u16(b, 20));
    EXPECT_EQ(2u, u16(b, 22));
    EXPECT_EQ(44100u, u32(b, 24));
    EXPECT_EQ(176400u, u32(b, 28));
    EXPECT_EQ(4u, u16(b, 32));
    EXPECT_EQ(16u, u16(b, 34));
    EXPECT_EQ("fact", tag(b, 36));
    EXPECT_EQ(4u, u32(b, 40));
    EXPECT_EQ(11152u, u32(b, 44));
    EXPECT_EQ("data", tag(b, 48));
    EXPECT_EQ(44608u, u32(b, 52));

    size_t nonZero = 0;
    for (size_t at = 56; at < wave.size(); ++at)
        nonZero += wave[at] != 0;
    EXPECT_GT(nonZero, (wave.size() - 56) / 2) << "the sound is mostly silence";
}

struct Item {
    UINT id;    // 0 for a separator
    const char* text;
};

void expectPopup(HMENU menu, int position, const char* title, const std::vector<Item>& items)
{
    SCOPED_TRACE(title);
    char text[256] = {};
    GetMenuStringA(menu, position, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(title, text);
    HMENU popup = GetSubMenu(menu, position);
    ASSERT_NE(nullptr, popup);
    ASSERT_EQ(static_cast<int>(items.size()), GetMenuItemCount(popup));
    for (size_t i = 0; i < items.size(); ++i) {
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID;
        ASSERT_TRUE(GetMenuItemInfoA(popup, static_cast<UINT>(i), TRUE, &info));
        if (items[i].id == 0) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR) << "item " << i;
            continue;
        }
        EXPECT_FALSE(info.fType & MFT_SEPARATOR) << "item " << i;
        EXPECT_EQ(items[i].id, info.wID) << "item " << i;
        char itemText[256] = {};
        GetMenuStringA(popup, static_cast<UINT>(i), itemText, sizeof itemText, MF_BYPOSITION);
        EXPECT_STREQ(items[i].text, itemText);
    }
}

TEST_F(KelvaroResources, MenuHasItsFourPopupsWithExactTextsAndCommands)
{
    HMENU menu = LoadMenuA(module, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(nullptr, menu);
    ASSERT_EQ(4, GetMenuItemCount(menu));

    expectPopup(menu, 0, "&File", {{IDM_FILE_EXIT, "E&xit"}});
    expectPopup(menu, 1, "Tests",
                {{IDM_TESTS_RUNALL, "Run ALL Tests (results pop up at app exit)"},
                 {0, ""},
                 {IDM_TESTS_DDRAW600,
                  "Run extended (600 frames) vsync align using Direct Draw (look at cpu usage; high)"},
                 {IDM_TESTS_D3DKMT600,
                  "Run extended (600 frames) vsync align using D3DKMT (look at cpu usage; low)"},
                 {IDM_TESTS_DWMGTI3600, "Run extended (3,600 frames) DwmGetCompositionTimingInfo"},
                 {IDM_TESTS_QUORVELLUMETRA, "Run extended (100,000 frames) Quorvel Lumetra test"},
                 {IDM_TESTS_DXGI600,
                  "Run extended (600 frames) vsync align using DXGI WaitForVBlank (look at cpu usage; low)"},
                 {IDM_TESTS_CLOCK600, "Run extended (600 frames) Windows 11 compositor clock"}});
    expectPopup(menu, 2, "Settings",
                {{IDM_SETTINGS_REPAINTONMOUSEMOVE, "Repaint on mouse move (otherwise on vsync)"}});
    expectPopup(menu, 3, "Help", {{IDM_HELP_ABOUT, "About..."}});

    // Only the Settings option starts checked.
    EXPECT_TRUE(GetMenuState(menu, IDM_SETTINGS_REPAINTONMOUSEMOVE, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_FALSE(GetMenuState(menu, IDM_TESTS_RUNALL, MF_BYCOMMAND) & MF_CHECKED);
    EXPECT_FALSE(GetMenuState(menu, IDM_HELP_ABOUT, MF_BYCOMMAND) & MF_CHECKED);
    DestroyMenu(menu);
}

TEST_F(KelvaroResources, AcceleratorsAreAltQuestionMarkAndAltSlashForAbout)
{
    HACCEL table = LoadAcceleratorsA(module, MAKEINTRESOURCEA(IDR_MAINMENU));
    ASSERT_NE(nullptr, table);
    ASSERT_EQ(2, CopyAcceleratorTableA(table, nullptr, 0));
    ACCEL entries[2] = {};
    ASSERT_EQ(2, CopyAcceleratorTableA(table, entries, 2));
    const char keys[2] = {'?', '/'};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(FALT, entries[i].fVirt);    // a character code: no FVIRTKEY
        EXPECT_EQ(keys[i], entries[i].key);
        EXPECT_EQ(IDM_HELP_ABOUT, entries[i].cmd);
    }
    DestroyAcceleratorTable(table);
}

// Reads a dialog template's variable fields: an ordinal (0xFFFF, value) or a string.
struct Field {
    bool isOrdinal = false;
    uint32_t ordinal = 0;
    std::wstring text;
};

Field readField(const std::vector<uint8_t>& t, size_t& at)
{
    Field field;
    if (u16(t.data(), at) == 0xFFFF) {
        field.isOrdinal = true;
        field.ordinal = u16(t.data(), at + 2);
        at += 4;
        return field;
    }
    while (uint32_t c = u16(t.data(), at)) {
        field.text.push_back(static_cast<wchar_t>(c));
        at += 2;
    }
    at += 2;
    return field;
}

TEST_F(KelvaroResources, AboutBoxTemplateHasItsFrameFontAndFourControls)
{
    const std::vector<uint8_t> t = bytesOf(MAKEINTRESOURCEA(IDD_ABOUT), RT_DIALOG);
    ASSERT_GE(t.size(), 18u);
    const uint8_t* b = t.data();
    ASSERT_NE(0xFFFF0001u, u32(b, 0)) << "expected a plain DLGTEMPLATE";
    EXPECT_EQ(static_cast<uint32_t>(DS_MODALFRAME | DS_SETFONT | WS_CAPTION | WS_SYSMENU), u32(b, 0));
    ASSERT_EQ(4u, u16(b, 8));
    EXPECT_EQ(22u, u16(b, 10));
    EXPECT_EQ(17u, u16(b, 12));
    EXPECT_EQ(244u, u16(b, 14));
    EXPECT_EQ(75u, u16(b, 16));

    size_t at = 18;
    EXPECT_EQ(std::wstring(), readField(t, at).text);    // no menu
    EXPECT_EQ(std::wstring(), readField(t, at).text);    // the standard dialog class
    EXPECT_EQ(L"About", readField(t, at).text);
    EXPECT_EQ(8u, u16(b, at));
    at += 2;
    EXPECT_EQ(L"System", readField(t, at).text);

    struct Control {
        uint32_t id;
        uint32_t classOrdinal;    // 0x80 button, 0x82 static
        uint32_t kindMask;        // the style bits that pick the kind of control
        uint32_t kind;
        uint32_t styles;          // further style bits that must be set
        int x, y, cx, cy;
    };
    const uint32_t child = WS_CHILD | WS_VISIBLE;
    const Control controls[4] = {
        {2, 0x82, SS_TYPEMASK, SS_ICON, child, 6, 6, 16, 16},
        {0xFFFF, 0x82, SS_TYPEMASK, SS_LEFT, child | SS_NOPREFIX | WS_GROUP, 32, 7, 154, 8},
        {0xFFFF, 0x82, SS_TYPEMASK, SS_LEFT, child | WS_GROUP, 32, 18, 149, 8},
        {IDOK, 0x80, BS_TYPEMASK, BS_DEFPUSHBUTTON, child | WS_TABSTOP | WS_GROUP, 201, 5, 30, 11},
    };
    std::wstring texts[4];
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        at = (at + 3) & ~size_t(3);    // each item starts on a 32-bit boundary
        ASSERT_LE(at + 18, t.size());
        const Control& c = controls[i];
        const uint32_t style = u32(b, at);
        EXPECT_EQ(c.kind, style & c.kindMask);
        EXPECT_EQ(c.styles, style & c.styles);
        EXPECT_EQ(static_cast<uint32_t>(c.x), u16(b, at + 8));
        EXPECT_EQ(static_cast<uint32_t>(c.y), u16(b, at + 10));
        EXPECT_EQ(static_cast<uint32_t>(c.cx), u16(b, at + 12));
        EXPECT_EQ(static_cast<uint32_t>(c.cy), u16(b, at + 14));
        EXPECT_EQ(c.id, u16(b, at + 16));
        at += 18;
        // The class by its ordinal, or by its name as a CONTROL statement writes it.
        const Field windowClass = readField(t, at);
        const wchar_t* className = c.classOrdinal == 0x80 ? L"Button" : L"Static";
        if (windowClass.isOrdinal)
            EXPECT_EQ(c.classOrdinal, windowClass.ordinal);
        else
            EXPECT_EQ(0, lstrcmpiW(className, windowClass.text.c_str())) << "class name";
        const Field text = readField(t, at);
        if (i == 0) {
            EXPECT_TRUE(text.isOrdinal);    // the icon names its resource
            EXPECT_EQ(static_cast<uint32_t>(IDI_MAIN), text.ordinal);
        }
        texts[i] = text.text;
        at += 2 + u16(b, at);    // creation data
    }
    EXPECT_EQ(L"kelvaro -- Version 0.9", texts[1]);
    // The credit line carries the project's version.
    const std::string credit = std::string("Display refresh timing tool ") + KELVARO_VERSION;
    EXPECT_EQ(std::wstring(credit.begin(), credit.end()), texts[2]) << "credit line";
    EXPECT_EQ(L"OK", texts[3]);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "the resource's packed layout");

void expectIconGroup(HMODULE module, int group, const std::vector<int>& sizes)
{
    SCOPED_TRACE("icon group " + std::to_string(group));
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(group), RT_GROUP_ICON);
    ASSERT_NE(nullptr, found);
    const uint8_t* dir = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(nullptr, dir);
    ASSERT_EQ(6 + 14 * sizes.size(), SizeofResource(module, found));
    EXPECT_EQ(1u, u16(dir, 2));
    ASSERT_EQ(sizes.size(), u16(dir, 4));

    for (size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("image " + std::to_string(i));
        GroupIconEntry entry;
        std::memcpy(&entry, dir + 6 + 14 * i, sizeof entry);
        EXPECT_EQ(sizes[i], entry.width);
        EXPECT_EQ(sizes[i], entry.height);
        EXPECT_EQ(4u, entry.bitCount);

        HRSRC imageFound = FindResourceA(module, MAKEINTRESOURCEA(entry.id), RT_ICON);
        ASSERT_NE(nullptr, imageFound);
        const DWORD size = SizeofResource(module, imageFound);
        EXPECT_EQ(entry.bytes, size);
        const uint8_t* image =
            static_cast<const uint8_t*>(LockResource(LoadResource(module, imageFound)));
        ASSERT_NE(nullptr, image);
        EXPECT_EQ(static_cast<uint32_t>(sizes[i]), u32(image, 4));
        EXPECT_EQ(static_cast<uint32_t>(2 * sizes[i]), u32(image, 8));
        EXPECT_EQ(4u, u16(image, 14));

        // The system turns the bytes into an icon of the stated size.
        std::vector<BYTE> copy(image, image + size);
        HICON icon = CreateIconFromResourceEx(copy.data(), size, TRUE, 0x00030000, sizes[i], sizes[i],
                                              LR_DEFAULTCOLOR);
        EXPECT_NE(nullptr, icon);
        if (icon)
            DestroyIcon(icon);
    }
}

TEST_F(KelvaroResources, IconGroupsHoldTheir16ColourImages)
{
    expectIconGroup(module, IDI_MAIN, {32, 16});
    expectIconGroup(module, IDI_MAIN_SMALL, {16});
}

TEST_F(KelvaroResources, ProgramCarriesNoManifest)
{
    EXPECT_EQ(nullptr, FindResourceA(module, MAKEINTRESOURCEA(1), RT_MANIFEST));
    EXPECT_EQ(nullptr, FindResourceA(module, MAKEINTRESOURCEA(2), RT_MANIFEST));
}

}    // namespace
