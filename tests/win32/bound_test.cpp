// The run-time binder: one binding line per function, the fallbacks, the resolver that
// stands in for system functions, a racing first call and where modules are loaded from.
#include "core/bound.h"
#include "core/log.h"

#include "win32/log_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

namespace {

std::string bindLine(const char* module, const char* function, FARPROC address)
{
    return std::string("...fnBind(") + module + "," + function + ")=" +
           std::to_string(static_cast<int>(reinterpret_cast<INT_PTR>(address))) + "\r\n";
}


// What the substitutes answer and what they saw.
HRESULT g_compositionResult = S_OK;
BOOL g_compositionEnabled = TRUE;
bound::NTSTATUS g_queryStatus = 0;
bound::D3DKMT_QUERYADAPTERINFO g_querySeen = {};
UINT g_querySourceSeen = 0;
const bound::D3DKMT_DISPLAYMODE kMode = {1920, 1080, 21, 60, {60000, 1001}, 1, 1, 0, {7, 8}};
std::atomic<int> g_flushResolves{0};
constexpr HRESULT kFlushResult = 0x777;

HRESULT WINAPI fakeComposition(BOOL* enabled)
{
    *enabled = g_compositionEnabled;
    return g_compositionResult;
}

bound::NTSTATUS WINAPI fakeQuery(const bound::D3DKMT_QUERYADAPTERINFO* query)
{
    g_querySeen = *query;
    auto* current = static_cast<bound::D3DKMT_CURRENTDISPLAYMODE*>(query->pPrivateDriverData);
    g_querySourceSeen = current->VidPnSourceId;
    current->DisplayMode = kMode;   // also on failure: the caller must not take it then
    return g_queryStatus;
}

HRESULT WINAPI fakeFlush() { return kFlushResult; }

FARPROC fakeResolver(const char* module, const char* function)
{
    const std::string name = std::string(module) + "!" + function;
    if (name == "dwmapi!DwmIsCompositionEnabled")
        return asFarproc(fakeComposition);
    if (name == "gdi32!D3DKMTQueryAdapterInfo")
        return asFarproc(fakeQuery);
    if (name == "dwmapi!DwmFlush") {
        ++g_flushResolves;
        Sleep(30);   // holds the first caller inside its binding while the second arrives
        return asFarproc(fakeFlush);
    }
    return nullptr;
}

class BoundTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        useResolver(nullptr);
    }
};

TEST_F(BoundTest, MissingFunctionReturnsItsFallbackAndIsLookedUpOnce)
{
    if (GetProcAddress(GetModuleHandleA("gdi32"), "D3DKMTWaitForVerticalBlankEvent") != nullptr)
        GTEST_SKIP() << "this gdi32 has D3DKMTWaitForVerticalBlankEvent";
    const std::string line = bindLine("gdi32", "D3DKMTWaitForVerticalBlankEvent", nullptr);
    const int before = countInLog(line);
    const bound::D3DKMT_WAITFORVERTICALBLANKEVENT wait = {1, 0, 0};
    for (int call = 0; call < 3; ++call)
        EXPECT_EQ(bound::kStatusNotImplemented, bound::D3DKMTWaitForVerticalBlankEvent(&wait));
    EXPECT_EQ(before + 1, countInLog(line));
}

// Converts to a pointer to a freshly zeroed record of any type, for calls that are made only
// to count their binding lines: with zeroed records the system's functions fail harmlessly.
struct Zeroed {
    template <typename Record>
    operator Record*() const
    {
        static std::remove_const_t<Record> record;
        record = {};
        return &record;
    }
};

TEST_F(BoundTest, EachWrapperBindsOnceHoweverOftenCalled)
{
    const struct {
        const char* module;
        const char* function;
        void (*call)();
    } rows[] = {
        {"dwmapi", "DwmFlush", [] { bound::DwmFlush(); }},
        {"dwmapi", "DwmGetCompositionTimingInfo",
         [] { bound::DwmGetCompositionTimingInfo(nullptr, Zeroed()); }},
        {"dwmapi", "DwmIsCompositionEnabled", [] { bound::DwmIsCompositionEnabled(); }},
        {"user32", "EnumDisplayDevicesA",
         [] { bound::EnumDisplayDevicesA(nullptr, 0, Zeroed(), 0); }},
        {"gdi32", "D3DKMTWaitForVerticalBlankEvent",
         [] { bound::D3DKMTWaitForVerticalBlankEvent(Zeroed()); }},
        {"gdi32", "D3DKMTOpenAdapterFromHdc", [] { bound::D3DKMTOpenAdapterFromHdc(Zeroed()); }},
        {"gdi32", "D3DKMTCloseAdapter", [] { bound::D3DKMTCloseAdapter(Zeroed()); }},
        {"gdi32", "D3DKMTGetScanLine", [] { bound::D3DKMTGetScanLine(Zeroed()); }},
        {"gdi32", "D3DKMTQueryAdapterInfo", [] { bound::queryDisplayMode(0, 0, Zeroed()); }},
        {"user32", "MonitorFromWindow", [] { bound::MonitorFromWindow(nullptr, 0); }},
        {"user32", "GetMonitorInfoA", [] { bound::GetMonitorInfoA(nullptr, Zeroed()); }},
        {"ntdll", "NtQueryTimerResolution",
         [] { bound::NtQueryTimerResolution(Zeroed(), Zeroed(), Zeroed()); }},
        {"ddraw", "DirectDrawCreate",
         [] {
             LPDIRECTDRAW directDraw = nullptr;
             if (SUCCEEDED(bound::DirectDrawCreate(nullptr, &directDraw, nullptr)))
                 directDraw->Release();
         }},
    };
    for (const auto& row : rows) {
        const std::string prefix =
            std::string("...fnBind(") + row.module + "," + row.function + ")=";
        const int before = countInLog(prefix);
        for (int call = 0; call < 3; ++call)
            row.call();
        EXPECT_EQ(before + 1, countInLog(prefix)) << row.function;
    }
}

TEST_F(BoundTest, CompositionCountsAsEnabledOnlyForSOkAndTrue)
{
    const bound::Resolver previous = bound::setResolver(fakeResolver);
    EXPECT_EQ(nullptr, previous);
    const std::string line =
        bindLine("dwmapi", "DwmIsCompositionEnabled", asFarproc(fakeComposition));
    const int before = countInLog(line);
    const struct {
        HRESULT result;
        BOOL enabled;
        bool expected;
    } cases[] = {
        {S_OK, TRUE, true}, {S_OK, 5, true}, {S_FALSE, TRUE, false}, {S_OK, FALSE, false},
        {E_FAIL, TRUE, false},
    };
    for (const auto& c : cases) {
        g_compositionResult = c.result;
        g_compositionEnabled = c.enabled;
        EXPECT_EQ(c.expected, bound::DwmIsCompositionEnabled())
            << "result " << c.result << ", enabled " << c.enabled;
    }
    EXPECT_EQ(before + 1, countInLog(line));   // the substitute's address, logged once
}

TEST_F(BoundTest, DisplayModeIsCopiedOnlyWhenTheQuerySucceeds)
{
    struct Guarded {
        bound::D3DKMT_DISPLAYMODE mode;
        unsigned char after[16];
    };
    Guarded untouched;
    std::memset(&untouched, 0xA5, sizeof untouched);

    // The system's function (missing under Wine) with adapter 0.
    Guarded out = untouched;
    EXPECT_FALSE(bound::queryDisplayMode(0, 0, &out.mode));
    EXPECT_EQ(0, std::memcmp(&out, &untouched, sizeof out));

    useResolver(fakeResolver);
    for (const bound::NTSTATUS status : {static_cast<bound::NTSTATUS>(0xC000000D), 0x103L}) {
        g_queryStatus = status;
        EXPECT_FALSE(bound::queryDisplayMode(0x40000001, 2, &out.mode)) << status;
        EXPECT_EQ(0, std::memcmp(&out, &untouched, sizeof out)) << status;
    }

    g_queryStatus = 0;
    g_querySeen = {};
    EXPECT_TRUE(bound::queryDisplayMode(0x40000002, 3, &out.mode));
    EXPECT_EQ(0, std::memcmp(&out.mode, &kMode, sizeof kMode));
    EXPECT_EQ(0, std::memcmp(out.after, untouched.after, sizeof out.after));
    EXPECT_EQ(0x40000002u, g_querySeen.hAdapter);
    EXPECT_EQ(9u, g_querySeen.Type);
    EXPECT_EQ(48u, g_querySeen.PrivateDriverDataSize);
    EXPECT_EQ(3u, g_querySourceSeen);
}

TEST_F(BoundTest, RacingFirstCallsBindOnceAndBothGetTheFunctionsResult)
{
    bound::setResolver(fakeResolver);
    const std::string line = bindLine("dwmapi", "DwmFlush", asFarproc(fakeFlush));
    for (int round = 0; round < 5; ++round) {
        bound::resetBindingsForTest();
        const int linesBefore = countInLog(line);
        const int resolvesBefore = g_flushResolves.load();
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        HRESULT results[2] = {E_FAIL, E_FAIL};
        auto caller = [&](int slot) {
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            results[slot] = bound::DwmFlush();
        };
        std::thread first(caller, 0), second(caller, 1);
        while (ready.load() < 2)
            std::this_thread::yield();
        go = true;
        first.join();
        second.join();
        EXPECT_EQ(kFlushResult, results[0]) << "round " << round;
        EXPECT_EQ(kFlushResult, results[1]) << "round " << round;
        EXPECT_EQ(resolvesBefore + 1, g_flushResolves.load()) << "round " << round;
        EXPECT_EQ(linesBefore + 1, countInLog(line)) << "round " << round;
    }
}

std::string systemDirectory()
{
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return std::string(path, length);
}

TEST_F(BoundTest, ModuleNotLoadedYetComesFromTheSystemDirectory)
{
    // dciman32: a system DLL that nothing else in this program loads, so the first run of
    // this test in a process finds it not loaded yet.
    bound::setResolver(fakeResolver);   // answers null for this one: the system lookup decides
    const int before = countInLog("...fnBind(dciman32,DCIOpenProvider)=");
    const FARPROC address = bound::fnBind("dciman32", "DCIOpenProvider");
    const HMODULE module = GetModuleHandleA("dciman32");
    ASSERT_NE(nullptr, module);
    EXPECT_NE(nullptr, address);
    EXPECT_EQ(GetProcAddress(module, "DCIOpenProvider"), address);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    const std::string directory = systemDirectory() + "\\";
    EXPECT_EQ(0, _strnicmp(path, directory.c_str(), directory.size())) << path;
    EXPECT_EQ(before + 1, countInLog(bindLine("dciman32", "DCIOpenProvider", address)));
    EXPECT_EQ(fakeResolver, bound::setResolver(nullptr));
}

TEST_F(BoundTest, PlantedModuleBesideProgramOrInCurrentDirectoryIsNeverLoaded)
{
    char buffer[MAX_PATH];
    GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    std::string programDirectory = buffer;
    programDirectory.resize(programDirectory.find_last_of('\\'));
    GetTempPathA(MAX_PATH, buffer);
    const std::string currentDirectory = std::string(buffer) + "kelvaro_planted_cwd";
    CreateDirectoryA(currentDirectory.c_str(), nullptr);
    GetCurrentDirectoryA(MAX_PATH, buffer);
    const std::string previousDirectory = buffer;
    ASSERT_TRUE(SetCurrentDirectoryA(currentDirectory.c_str()));

    // A copy of a harmless system DLL whose export fnBind asks for: had fnBind loaded the
    // copy, it would return that export's address.
    const std::string source = systemDirectory() + "\\version.dll";
    const std::string line = bindLine("kelvaro_planted", "GetFileVersionInfoSizeA", nullptr);
    for (const std::string& directory : {programDirectory, currentDirectory}) {
        const std::string planted = directory + "\\kelvaro_planted.dll";
        if (!CopyFileA(source.c_str(), planted.c_str(), FALSE)) {
            ADD_FAILURE() << "cannot plant " << planted;
            continue;
        }
        const int before = countInLog(line);
        EXPECT_EQ(nullptr, bound::fnBind("kelvaro_planted", "GetFileVersionInfoSizeA"));
        EXPECT_EQ(nullptr, GetModuleHandleA("kelvaro_planted"));
        EXPECT_EQ(before + 1, countInLog(line));
        // The ordinary search does find the copy, so the check above means something.
        const HMODULE control = LoadLibraryA("kelvaro_planted.dll");
        EXPECT_NE(nullptr, control) << planted;
        if (control != nullptr)
            FreeLibrary(control);
        DeleteFileA(planted.c_str());
    }
    SetCurrentDirectoryA(previousDirectory.c_str());
    RemoveDirectoryA(currentDirectory.c_str());
}

}   // namespace
