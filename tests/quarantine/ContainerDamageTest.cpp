// Damaged containers: every truncation and thousands of seeded mutations of a valid container are
// either read correctly or refused with a quarantine exception, without large allocations.
#include "quarantine/Container.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/quarantine/QuarantineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

using namespace Quarantine;
using namespace TestSupport;

namespace {

// The largest single allocation made while watching.
std::atomic<bool> watching(false);
std::atomic<size_t> largestAllocation(0);

// Nothing the reader allocates may depend on a size field of the file.
const size_t AllocationLimit = 16 * 1024;

struct Watch {
    Watch() {
        largestAllocation = 0;
        watching = true;
    }
    ~Watch() { watching = false; }
};

std::string ValidContainer() {
    ContainerBuilder::Object first;
    first.storedPath = L"?:\\dir\\first.exe";
    first.content = PatternContent(100, 7);
    first.flags = 0x07;
    ContainerBuilder::Object second;
    second.storedPath = L"\\\\host\\share\\second.dll";
    second.content = PatternContent(50, 8);
    return ContainerBuilder(L"Damage.Test", 1600000000, 100).Add(first).Add(second).Bytes();
}

// Reads the container at path; when it loads, every object is extracted as well.
// Returns the number of objects, or -1 when a quarantine exception refused it.
int ReadAndExtract(const std::wstring& path, const std::wstring& scratch) {
    try {
        CContainerReader reader(path);
        for (size_t i = 0; i < reader.ObjectCount(); ++i) {
            reader.Extract(i, scratch, true);
            EXPECT_EQ(reader.Object(i)->size, FileSize(scratch));
            ::SetFileAttributesW(scratch.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        return static_cast<int>(reader.ObjectCount());
    } catch (const QuarantineException&) {
        return -1;
    }
}

}  // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    if (watching) {
        size_t seen = largestAllocation;
        while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

TEST(ContainerDamage, EveryTruncationIsReadOrRefused) {
    ScratchFolder folder;
    const std::string valid = ValidContainer();
    const std::wstring path = folder / L"t.tqr";
    const std::wstring out = folder / L"out";
    Watch watch;
    for (size_t length = 0; length < valid.size(); ++length) {
        WriteFile(path, valid.substr(0, length));
        const int objects = ReadAndExtract(path, out);
        if (length == 148)
            EXPECT_EQ(0, objects);
        else if (length == 148 + 4144 + 100)
            EXPECT_EQ(1, objects);
        else
            EXPECT_EQ(-1, objects) << "a truncation at " << length << " was accepted";
    }
    WriteFile(path, valid);
    EXPECT_EQ(2, ReadAndExtract(path, out));
    EXPECT_GE(largestAllocation.load(), 4144u) << "the allocation watch saw nothing";
    EXPECT_LE(largestAllocation.load(), AllocationLimit);
}

TEST(ContainerDamage, SeededMutationsAreReadOrRefused) {
    ScratchFolder folder;
    const std::string valid = ValidContainer();
    const std::wstring path = folder / L"m.tqr";
    const std::wstring out = folder / L"out";
    std::mt19937 random(20261207);
    // Mutations hit the fields that steer the reader more often than plain content.
    const size_t hotspots[] = {0, 7, 148, 155, 160, 164, 148 + 20, 4116 + 148, 148 + 4144 + 100,
                               148 + 4144 + 100 + 12, 148 + 4144 + 100 + 16};
    int loaded = 0, refused = 0;
    Watch watch;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = valid;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c) {
            size_t at = random() % bytes.size();
            if (random() % 2 == 0) at = (hotspots[random() % 11] + random() % 8) % bytes.size();
            bytes[at] = static_cast<char>(random() % 3 == 0 ? 0xFF : random());
        }
        WriteFile(path, bytes);
        (ReadAndExtract(path, out) >= 0 ? loaded : refused)++;
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
    EXPECT_LE(largestAllocation.load(), AllocationLimit);
}

TEST(ContainerDamage, ADamagedCopyIsRefusedAndNothingIsWritten) {
    ScratchFolder folder;
    const std::string content = PatternContent(20000, 3);
    WriteFile(folder / L"source.exe", content);
    const std::wstring container = folder / L"c.tqr";
    {
        CContainerWriter writer(container, L"Damage.Test", 100);
        writer.AddObject(folder / L"source.exe", 1, false, false);
    }
    const std::string written = ReadFile(container);
    std::string damaged = written;
    std::mt19937 random(51);
    for (int bit = 0; bit < 200; ++bit) damaged[148 + 4144 + random() % content.size()] ^= static_cast<char>(1 << (random() % 8));
    WriteFile(container, damaged);
    {
        CContainerReader reader(container);
        ASSERT_EQ(1u, reader.ObjectCount()) << "the digest belongs to its object";
        try {
            reader.Extract(0, folder / L"restored.exe", false);
            ADD_FAILURE() << "a damaged copy was restored";
        } catch (const CorruptedContainer& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find("damaged"));
        }
    }
    EXPECT_FALSE(FileExists(folder / L"restored.exe"));
    EXPECT_EQ(damaged, ReadFile(container)) << "the container is kept as it was";
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder / L"restored.exe*").c_str(), &data);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "a temporary file was left";
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);

    // The same container undamaged restores, and so does one written without a digest.
    WriteFile(container, written);
    CContainerReader(container).Extract(0, folder / L"restored.exe", false);
    EXPECT_EQ(content, ReadFile(folder / L"restored.exe"));
    ContainerBuilder::Object old;
    old.storedPath = L"?:\\old.exe";
    old.content = content;
    WriteFile(container, ContainerBuilder(L"Old", 1600000000, 100).Add(old).Bytes());
    CContainerReader(container).Extract(0, folder / L"old.exe", false);
    EXPECT_EQ(content, ReadFile(folder / L"old.exe"));
}
