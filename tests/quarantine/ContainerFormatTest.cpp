// The container format byte for byte: writer, reader, limits, messages and extraction.
#include "quarantine/Container.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/quarantine/QuarantineTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

using namespace Quarantine;
using namespace TestSupport;

namespace {

const uint64_t Creation = 131000000000000000ull, Access = 132000000000000000ull, Write = 133000000000000000ull;

template <typename Call>
std::string ErrorOf(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ContainerFormat, WriterProducesTheExactLayout) {
    ScratchFolder folder;
    const std::wstring source = folder / L"x\\y.exe";
    const std::string content = std::string("MZ\0\xff", 4) + PatternContent(9000, 1);
    WriteFile(source, content);
    SetTimes(source, Creation, Access, Write);
    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    const WIN32_FILE_ATTRIBUTE_DATA info = FileInfo(source);

    const std::wstring container = folder / L"c.tqr";
    const int64_t before = _time64(nullptr);
    int64_t created;
    {
        CContainerWriter writer(container, L"Trojan.Z", 100);
        created = writer.CreationTime();
        const ContainerObject object = writer.AddObject(source, 1, true, false);
        EXPECT_EQ(Format::HeaderSize + Format::RecordSize, object.dataOffset);
        EXPECT_EQ(source, object.originalPath) << "the descriptor keeps the path unmasked";
    }
    EXPECT_GE(created, before);
    EXPECT_LE(created, _time64(nullptr));

    ContainerBuilder::Object expected;
    expected.storedPath = L"?" + source.substr(1);
    expected.content = content;
    expected.flags = 0x01 | 0x04;
    expected.attributes = info.dwFileAttributes;
    expected.creation = ToU64(info.ftCreationTime);
    expected.access = ToU64(info.ftLastAccessTime);
    expected.write = ToU64(info.ftLastWriteTime);
    const std::string bytes = ContainerBuilder(L"Trojan.Z", created, 100).Add(expected).AddDigestOf(content).Bytes();
    EXPECT_EQ(bytes.size(), static_cast<size_t>(148 + 4144 + content.size() + 4144 + 32));
    EXPECT_TRUE(bytes == ReadFile(container)) << "the container differs from the independent layout";
    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ContainerFormat, FlagsAndTypeTravelIntoTheRecord) {
    ScratchFolder folder;
    WriteFile(folder / L"s", "data");
    for (int flags = 0; flags < 4; ++flags) {
        const std::wstring container = folder / (L"c" + std::to_wstring(flags));
        {
            CContainerWriter writer(container, L"N", -5);
            writer.AddObject(folder / L"s", 7, (flags & 1) != 0, (flags & 2) != 0);
        }
        const std::string bytes = ReadFile(container);
        EXPECT_EQ(static_cast<char>(flags | 4), bytes[148 + 7]);
        EXPECT_EQ(std::string("\x07\0\0\0", 4), bytes.substr(148 + 8, 4));
        CContainerReader reader(container);
        EXPECT_EQ(-5, reader.OriginCode());
        EXPECT_EQ((flags & 1) != 0, reader.Object(0)->curable);
        EXPECT_EQ((flags & 2) != 0, reader.Object(0)->codeIsOne);
        EXPECT_EQ(7u, reader.Object(0)->type);
    }
}

TEST(ContainerFormat, ReaderLoadsContainersOfOtherPrograms) {
    ScratchFolder folder(L'E');
    ContainerBuilder::Object first;
    first.storedPath = L"?:\\x\\y.exe";
    first.content = PatternContent(5000, 2);
    first.flags = 0x07;
    first.attributes = FILE_ATTRIBUTE_HIDDEN;
    first.creation = Creation;
    first.access = Access;
    first.write = Write;
    ContainerBuilder::Object second;
    second.storedPath = L"\\\\server\\share\\f";
    second.content = "";
    second.flags = 0x00;  // no attributes and times
    second.type = 9;
    ContainerBuilder::Object third;
    third.storedPath = std::wstring(2047, L'p');  // a full field: no room for anything but the NUL
    third.content = "third";
    const std::string bytes = ContainerBuilder(L"Other.Program", 1234567890123ll, 7)
                                  .Add(first).Add(second).Add(third).Bytes();
    const std::wstring path = folder / L"foreign.tqr";
    WriteFile(path, bytes);

    CContainerReader reader(path);
    EXPECT_EQ(L"Other.Program", reader.ThreatName());
    EXPECT_EQ(1234567890123ll, reader.CreationTime());
    EXPECT_EQ(7, reader.OriginCode());
    ASSERT_EQ(3u, reader.ObjectCount());
    EXPECT_EQ(nullptr, reader.Object(3));
    const ContainerObject& a = *reader.Object(0);
    EXPECT_EQ(L"E:\\x\\y.exe", a.originalPath) << "the masked letter becomes the container's drive";
    EXPECT_TRUE(a.curable && a.codeIsOne && a.hasTimes);
    EXPECT_EQ(148u + 4144u, a.dataOffset);
    EXPECT_EQ(5000u, a.size);
    EXPECT_EQ(static_cast<uint32_t>(FILE_ATTRIBUTE_HIDDEN), a.attributes);
    EXPECT_EQ(Write, ToU64(a.lastWriteTime));
    const ContainerObject& b = *reader.Object(1);
    EXPECT_EQ(L"\\\\server\\share\\f", b.originalPath);
    EXPECT_FALSE(b.curable || b.codeIsOne || b.hasTimes);
    EXPECT_EQ(9u, b.type);
    EXPECT_EQ(0u, b.size);
    EXPECT_EQ(std::wstring(2047, L'p'), reader.Object(2)->originalPath);
    EXPECT_EQ(a.dataOffset + 5000 + 4144 + 4144, reader.Object(2)->dataOffset);

    reader.Extract(0, folder / L"out0", false);
    EXPECT_EQ(Write, ToU64(FileInfo(folder / L"out0").ftLastWriteTime));
    EXPECT_EQ(Access, ToU64(FileInfo(folder / L"out0").ftLastAccessTime));
    EXPECT_TRUE(FileInfo(folder / L"out0").dwFileAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(first.content == ReadFile(folder / L"out0"));
    reader.Extract(1, folder / L"out1", false);
    EXPECT_EQ("", ReadFile(folder / L"out1"));
    reader.Extract(2, folder / L"out2", false);
    EXPECT_EQ("third", ReadFile(folder / L"out2"));
    EXPECT_EQ("Quarantine error: Invalid object number", ErrorOf([&] { reader.Extract(3, folder / L"out3", false); }));
    ::SetFileAttributesW((folder / L"out0").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ContainerFormat, HeaderOnlyContainerHasNoObjects) {
    ScratchFolder folder;
    WriteFile(folder / L"h.tqr", ContainerBuilder(L"x", 1, 100).Bytes());
    CContainerReader reader(folder / L"h.tqr");
    EXPECT_EQ(0u, reader.ObjectCount());
    EXPECT_EQ(nullptr, reader.Object(0));
}

TEST(ContainerFormat, DamagedContainersRaiseTheDocumentedErrors) {
    ScratchFolder folder;
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\a";
    object.content = "0123456789";
    const std::string good = ContainerBuilder(L"x", 1, 100).Add(object).Bytes();
    object.sizeDelta = 1;
    const std::string longer = ContainerBuilder(L"x", 1, 100).Add(object).Bytes();
    struct Case {
        std::string bytes;
        std::string message;
    } cases[] = {
        {"TAVQUAX" + good.substr(7), "Quarantine error: Validation error"},
        {good.substr(0, 7) + '\x02' + good.substr(8), "Quarantine error: Validation error"},
        {good.substr(0, 148) + "QUAROBX" + good.substr(155), "Quarantine error: Validation error"},
        {longer, "Quarantine error: Corrupted file"},
        {good.substr(0, 148 + 100), "Quarantine error: ReadFile failed [GetLastError() = 38]"},
        {good.substr(0, 5), "Quarantine error: ReadFile failed [GetLastError() = 38]"},
    };
    for (const Case& c : cases) {
        WriteFile(folder / L"bad.tqr", c.bytes);
        EXPECT_EQ(c.message, ErrorOf([&] { CContainerReader reader(folder / L"bad.tqr"); }));
    }
    ContainerBuilder::Object huge;
    huge.storedPath = L"?:\\b";
    huge.sizeDelta = 52428801;  // announced beyond the limit, and beyond the file
    WriteFile(folder / L"huge.tqr", ContainerBuilder(L"x", 1, 100).Add(huge).Bytes());
    EXPECT_EQ("Quarantine error: Corrupted file", ErrorOf([&] { CContainerReader reader(folder / L"huge.tqr"); }));
    EXPECT_EQ("Quarantine error: CreateFileW failed [GetLastError() = 2]",
              ErrorOf([&] { CContainerReader reader(folder / L"missing.tqr"); }));
}

TEST(ContainerFormat, LimitsOnNamesPathsAndSizes) {
    ScratchFolder folder;
    const std::wstring container = folder / L"c.tqr";
    { CContainerWriter writer(container, std::wstring(63, L'n'), 100); }
    EXPECT_EQ(std::wstring(63, L'n'), CContainerReader(container).ThreatName());
    try {
        CContainerWriter writer(container, std::wstring(64, L'n'), 100);
        FAIL() << "a 64-character name was accepted";
    } catch (const InvalidParameter& e) {
        EXPECT_STREQ("Quarantine error: 'ThreatName' is too long", e.what());
    }

    // Paths of 2047 and 2048 characters: nested folders of 200 characters.
    std::wstring deep = folder.Path();
    while (deep.size() < 1800) deep += L"\\" + std::wstring(200 - 1, L'd');
    const std::wstring path2047 = deep + L"\\" + std::wstring(2047 - deep.size() - 1, L'f');
    const std::wstring path2048 = deep + L"\\" + std::wstring(2048 - deep.size() - 1, L'g');
    ASSERT_EQ(2047u, path2047.size());
    WriteFile(path2047, "long");
    WriteFile(path2048, "longer");
    ASSERT_EQ("long", ReadFile(path2047)) << "this platform cannot hold paths of 2047 characters";
    MakeSizedFile(folder / L"max", Format::MaxObjectSize);
    MakeSizedFile(folder / L"over", Format::MaxObjectSize + 1);
    WriteFile(folder / L"empty", "");
    {
        CContainerWriter writer(container, L"n", 100);
        writer.AddObject(path2047, 1, false, false);
        const uint64_t length = FileSize(container);
        EXPECT_EQ("Quarantine error: 'OriginalPath' is too long",
                  ErrorOf([&] { writer.AddObject(path2048, 1, false, false); }));
        EXPECT_EQ(length, FileSize(container)) << "a failed add leaves the container as it was";
        EXPECT_EQ("Quarantine error: File is too big",
                  ErrorOf([&] { writer.AddObject(folder / L"over", 1, 0, 0); }));
        EXPECT_EQ(length, FileSize(container));
        writer.AddObject(folder / L"max", 1, false, false);
        writer.AddObject(folder / L"empty", 1, false, false);
        writer.Flush();
        EXPECT_EQ(length + 2 * (4144 + 4144 + 32) + Format::MaxObjectSize, FileSize(container));
    }

    CContainerReader reader(container);
    ASSERT_EQ(3u, reader.ObjectCount());
    EXPECT_EQ(L"D" + path2047.substr(1), reader.Object(0)->originalPath);
    EXPECT_EQ(Format::MaxObjectSize, reader.Object(1)->size);
    EXPECT_EQ(0u, reader.Object(2)->size);
    reader.Extract(2, folder / L"empty.out", false);
    EXPECT_TRUE(FileExists(folder / L"empty.out"));
    EXPECT_EQ(0u, FileSize(folder / L"empty.out"));
}

namespace {

// A source that misbehaves after a number of bytes: a read error, an early end, or more data.
class FaultySourceWriter : public CContainerWriter {
public:
    enum Fault { FailRead, EndEarly, KeepGrowing };
    FaultySourceWriter(const std::wstring& path, Fault fault, uint64_t after)
        : CContainerWriter(path, L"n", 100), fault_(fault), after_(after) {}
    bool armed = false;

protected:
    BOOL ReadSource(HANDLE source, void* buffer, DWORD size, DWORD* got) override {
        if (!armed) return CContainerWriter::ReadSource(source, buffer, size, got);
        if (delivered_ >= after_) {
            if (fault_ == FailRead) {
                ::SetLastError(ERROR_LOCK_VIOLATION);
                return FALSE;
            }
            if (fault_ == EndEarly) {
                *got = 0;
                return TRUE;
            }
            std::memset(buffer, 'x', size);  // the file grew after its size was taken
            *got = size;
            return TRUE;
        }
        const BOOL ok = CContainerWriter::ReadSource(source, buffer, size, got);
        delivered_ += *got;
        return ok;
    }

private:
    Fault fault_;
    uint64_t after_;
    uint64_t delivered_ = 0;
};

}  // namespace

TEST(ContainerFormat, FailedAddsCutTheContainerBackAndNameTheSystemError) {
    ScratchFolder folder;
    const std::wstring container = folder / L"c.tqr";
    WriteFile(folder / L"first", "first object");
    const std::string big = PatternContent(64 * 1024, 3);
    WriteFile(folder / L"big", big);
    const struct {
        FaultySourceWriter::Fault fault;
        std::string message;
    } faults[] = {
        {FaultySourceWriter::FailRead, "Quarantine error: ReadFile failed [GetLastError() = 33]"},
        {FaultySourceWriter::EndEarly, "Quarantine error: File changed while it was being copied"},
        {FaultySourceWriter::KeepGrowing, "Quarantine error: File changed while it was being copied"},
    };
    for (const auto& fault : faults) {
        {
            FaultySourceWriter writer(container, fault.fault, 40000);
            writer.AddObject(folder / L"first", 1, false, false);
            const uint64_t length = FileSize(container);
            EXPECT_EQ("Quarantine error: CreateFileW failed [GetLastError() = 2]",
                      ErrorOf([&] { writer.AddObject(folder / L"missing", 1, 0, 0); }));
            EXPECT_EQ(length, FileSize(container));
            writer.armed = true;
            EXPECT_EQ(fault.message, ErrorOf([&] { writer.AddObject(folder / L"big", 1, 0, 0); }));
            EXPECT_EQ(length, FileSize(container)) << "the container ends after its last complete object";
            writer.armed = false;
            writer.AddObject(folder / L"big", 1, false, false);
        }
        CContainerReader reader(container);
        ASSERT_EQ(2u, reader.ObjectCount());
        reader.Extract(1, folder / L"out", true);
        EXPECT_TRUE(big == ReadFile(folder / L"out"));
    }

    try {
        CContainerWriter nowhere(folder / L"no\\such\\folder.tqr", L"n", 100);
        FAIL() << "created";
    } catch (const QuarantineException&) {
        FAIL() << "this failure is not a quarantine exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Failed to create file", e.what());
    }
}

TEST(ContainerFormat, ExtractionRestoresAttributesAndTimesAndRespectsOverwrite) {
    ScratchFolder folder;
    const std::wstring source = folder / L"original.dll";
    WriteFile(source, "original content");
    SetTimes(source, Creation, Access, Write);
    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const std::wstring container = folder / L"c.tqr";
    { CContainerWriter(container, L"n", 100).AddObject(source, 1, false, false); }

    CContainerReader reader(container);
    const std::wstring target = folder / L"restored.dll";
    WriteFile(target, "someone else's file");
    EXPECT_EQ("Quarantine error: CreateFileW failed [GetLastError() = 80]",
              ErrorOf([&] { reader.Extract(0, target, false); }));
    EXPECT_EQ("someone else's file", ReadFile(target));

    reader.Extract(0, target, true);
    const WIN32_FILE_ATTRIBUTE_DATA info = FileInfo(target);
    EXPECT_EQ("original content", ReadFile(target));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Write, ToU64(info.ftLastWriteTime));
    EXPECT_EQ(Access, ToU64(info.ftLastAccessTime));
    if (PlatformKeepsCreationTimes())
        EXPECT_EQ(Creation, ToU64(info.ftCreationTime));
    else
        std::printf("note: this platform does not keep creation times; not checked\n");

    // Overwriting a read-only, hidden file (the first restore) works, and leaves nothing beside it.
    reader.Extract(0, target, true);
    EXPECT_EQ("original content", ReadFile(target));
    EXPECT_FALSE(FileExists(target + L".!tqr-restore"));
    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

namespace {

// A container whose content cannot be read past a point.
class FailingReader : public CContainerReader {
public:
    FailingReader(const std::wstring& path, uint64_t after) : CContainerReader(path), after_(after) {}

protected:
    void ReadContent(void* buffer, DWORD size) override {
        if (delivered_ + size > after_) throw IOError("ReadFile failed", ERROR_LOCK_VIOLATION);
        CContainerReader::ReadContent(buffer, size);
        delivered_ += size;
    }

private:
    uint64_t after_;
    uint64_t delivered_ = 0;
};

}  // namespace

TEST(ContainerFormat, FailedExtractionKeepsTheFileThatWasThere) {
    ScratchFolder folder;
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\a";
    object.content = PatternContent(10000, 4);
    const std::wstring container = folder / L"c.tqr";
    WriteFile(container, ContainerBuilder(L"x", 1, 100).Add(object).Bytes());
    FailingReader reader(container, 6000);

    const std::wstring target = folder / L"target";
    WriteFile(target, "keep me");
    EXPECT_EQ("Quarantine error: ReadFile failed [GetLastError() = 33]",
              ErrorOf([&] { reader.Extract(0, target, true); }));
    EXPECT_EQ("keep me", ReadFile(target));
    EXPECT_FALSE(FileExists(target + L".!tqr-restore"));
    EXPECT_NE("(no error)", ErrorOf([&] { reader.Extract(0, folder / L"fresh", false); }));
    EXPECT_FALSE(FileExists(folder / L"fresh")) << "no partial file pretends to be the object";

    // A target that cannot be replaced (a folder of that name) stays, and so does nothing else.
    ::CreateDirectoryW((folder / L"dir").c_str(), nullptr);
    CContainerReader whole(container);
    EXPECT_EQ(0u, std::string(ErrorOf([&] { whole.Extract(0, folder / L"dir", true); })).find(
                      "Quarantine error: MoveFileExW failed"));
    EXPECT_FALSE(FileExists(folder / L"dir.!tqr-restore"));
}
