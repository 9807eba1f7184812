// Benchmark baseline: walks a folder tree and reads every file once, the least a scan must do.
// Prints the number of files read. --list only walks, --open also opens and closes every file: the
// parts of a scan's cost per file.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

enum class Depth { List, Open, Read };

unsigned long long files = 0;
Depth depth = Depth::Read;

void Walk(const std::wstring& folder, std::vector<char>& buffer) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            Walk(path, buffer);
            continue;
        }
        if (depth == Depth::List) {
            ++files;
            continue;
        }
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD got = 0;
        while (depth == Depth::Read && ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
        }
        ::CloseHandle(file);
        ++files;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc == 3 ? argv[1] : L"";
    if ((argc != 2 && argc != 3) || (argc == 3 && mode != L"--list" && mode != L"--open")) {
        std::fprintf(stderr, "usage: bench_walkread [--list|--open] FOLDER\n");
        return 2;
    }
    depth = mode == L"--list" ? Depth::List : mode == L"--open" ? Depth::Open : Depth::Read;
    std::vector<char> buffer(65536);
    Walk(argv[argc - 1], buffer);
    std::printf("%llu\n", files);
    return 0;
}
