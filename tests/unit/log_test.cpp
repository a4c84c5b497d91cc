// The log store: fit rule, failed allocation, whole lines under concurrent appends,
// and logPrintf on the process-wide log.
#include "core/log.h"
#include "core/logtext.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* storePrintf(LogStore& store, int32_t* textLength, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const char* text = logStoreVPrintf(store, textLength, format, args);
    va_end(args);
    return text;
}

// A fresh store per test; its 10 MiB buffer is released at the end of the test.
struct FreshStore : ::testing::Test {
    LogStore store{};
    ~FreshStore() override { logStoreRelease(store); }
};

void* noMemory(size_t) { return nullptr; }

TEST_F(FreshStore, FirstEmptyFetchIsJustALineEnd)
{
    const char* text = storePrintf(store, nullptr, "");
    EXPECT_STREQ("\r\n", text);
    EXPECT_EQ(2, store.used);
    // The rest of the buffer still holds its initial fill.
    EXPECT_EQ('.', store.buffer[3]);
    EXPECT_EQ('.', store.buffer[kLogBufferSize - 1]);
}

TEST_F(FreshStore, PointerIsTheSameOnEveryCall)
{
    const char* first = storePrintf(store, nullptr, "one");
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(first, storePrintf(store, nullptr, "line %d", i));
    EXPECT_EQ(first, storePrintf(store, nullptr, ""));
}

TEST_F(FreshStore, LineOf18BytesFitsAt10485740)
{
    storePrintf(store, nullptr, "");
    store.used = 10485740;
    int32_t length = 0;
    storePrintf(store, &length, "%s", "0123456789abcdef");    // 16 + CR LF
    EXPECT_EQ(10485758, store.used);
    EXPECT_EQ(10485758, length);
    EXPECT_EQ(0, std::memcmp(store.buffer + 10485740, "0123456789abcdef\r\n", 18));
    EXPECT_EQ('\0', store.buffer[10485758]);
    // Now not even an empty line fits any more.
    storePrintf(store, nullptr, "");
    EXPECT_EQ(10485758, store.used);
}

TEST_F(FreshStore, LongerLineIsDroppedWhileALaterShortOneFits)
{
    storePrintf(store, nullptr, "");
    store.used = 10485740;
    storePrintf(store, nullptr, "%s", "0123456789abcdefg");    // 17 + CR LF = 19 bytes
    EXPECT_EQ(10485740, store.used);
    EXPECT_EQ('\0', store.buffer[10485740]);
    EXPECT_EQ('.', store.buffer[10485741]);    // nothing of the dropped line was copied
    int32_t length = 0;
    storePrintf(store, &length, "");
    EXPECT_EQ(10485742, store.used);
    EXPECT_EQ(10485742, length);
    EXPECT_EQ(0, std::memcmp(store.buffer + 10485740, "\r\n", 3));
}

TEST(LogStoreWithoutMemory, DropsEveryLineAndReturnsAnEmptyText)
{
    LogStore store{};
    logStoreCreate(store, noMemory);
    int32_t length = -1;
    const char* text = storePrintf(store, &length, "dropped %d", 1);
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("", text);
    EXPECT_EQ(0, length);
    EXPECT_STREQ("", storePrintf(store, nullptr, ""));
    EXPECT_EQ(0, store.used);
}

// Four threads append numbered lines at once: every line must arrive whole, no two may
// overlap, each thread's lines keep their order, and none may be lost.
TEST_F(FreshStore, FourThreadsAppendWholeLines)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 100000;
    storePrintf(store, nullptr, "start");
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int n = 0; n < kLines; ++n)
                storePrintf(store, nullptr, "t%d\tn%06d", t, n);
        });
    }
    for (std::thread& writer : writers)
        writer.join();

    int32_t length = 0;
    const char* text = storePrintf(store, &length, "");
    ASSERT_EQ(static_cast<size_t>(length), std::strlen(text));
    int next[kThreads] = {0, 0, 0, 0};
    int lines = 0;
    const char* p = text + std::strlen("start\r\n");
    const char* end = text + length - 2;    // the closing empty line
    while (p < end) {
        // Each line is "t<k>", 10 spaces, "n<6 digits>", CR LF: 21 bytes.
        ASSERT_TRUE(p[0] == 't' && p[1] >= '0' && p[1] < '0' + kThreads)
            << "malformed line at offset " << (p - text);
        ASSERT_EQ(0, std::memcmp(p + 2, "          n", 11)) << "at offset " << (p - text);
        ASSERT_EQ(0, std::memcmp(p + 19, "\r\n", 2)) << "at offset " << (p - text);
        const int thread = p[1] - '0';
        int number = 0;
        for (int i = 13; i < 19; ++i) {
            ASSERT_TRUE(p[i] >= '0' && p[i] <= '9') << "at offset " << (p - text);
            number = number * 10 + (p[i] - '0');
        }
        ASSERT_EQ(next[thread], number) << "thread " << thread << " out of order";
        ++next[thread];
        ++lines;
        p += 21;
    }
    EXPECT_EQ(kThreads * kLines, lines);
    EXPECT_EQ(std::strlen("start\r\n") + 21u * kThreads * kLines + 2, static_cast<size_t>(length));
}

// A fetch made while another thread appends covers only lines that were copied whole:
// the text up to the fetched length never shows the buffer's '.' fill.
TEST_F(FreshStore, FetchDuringAppendsSeesOnlyWholeLines)
{
    storePrintf(store, nullptr, "first");
    std::atomic<bool> done{false};
    std::thread writer([this, &done] {
        for (int n = 0; n < 50000; ++n)
            storePrintf(store, nullptr, "%0100d", n);
        done = true;
    });
    int fetches = 0;
    while (!done || fetches < 10) {
        int32_t length = 0;
        const char* text = storePrintf(store, &length, "");
        ++fetches;
        ASSERT_GE(length, 2);
        ASSERT_EQ(0, std::memcmp(text + length - 2, "\r\n", 2));
        // The newest lines are where a half-copied line would show.
        const int32_t from = length > 400 ? length - 400 : 0;
        ASSERT_EQ(nullptr, std::memchr(text + from, '.', static_cast<size_t>(length - from)))
            << "a fetch saw bytes of a line that was not copied yet";
    }
    writer.join();
    EXPECT_GE(fetches, 10);
}

TEST(LogPrintf, AppendsToTheProcessLogAndKeepsItsPointer)
{
    const char* before = logPrintf("marker %s", "one");
    const char* after = logPrintf("x\ty %I64d", static_cast<long long>(-42));
    EXPECT_EQ(before, after);
    EXPECT_NE(nullptr, std::strstr(after, "marker one\r\nx           y -42\r\n"));

    int32_t length = 0;
    const char* fetched = logFetch(&length);
    EXPECT_EQ(before, fetched);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(fetched));
    EXPECT_EQ(0, std::strcmp(fetched + length - 4, "\r\n\r\n"));
}

}  // namespace
