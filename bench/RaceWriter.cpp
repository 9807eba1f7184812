// The other program of the race soak: for the given seconds it appends to, rewrites, saves over (a
// new file renamed in, the old one moved aside and removed, as editors save) and deletes the files f0.exe ... f<N-1>.exe of a folder at random moments, as an editor or a downloader
// would, each change made through one handle that shares nothing. Every change it made is logged, one
// line each, flushed:
//   W <file> <token>        the file now holds the token (written after the curable test body)
//   R <file> <token>...     the tokens it saw in the file just before it replaced or deleted it
//   X <file>                a change refused: the file was held (or gone)
// each with the time it was made (@milliseconds since 1970) last.
// A token written and never seen again by this program must be in the file or in the quarantine.
//   bench_racewriter FOLDER FILES SECONDS LOG SEED
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char Body[] = "TERVAN-APPENDED-TEST-BODY";
FILE* logFile = nullptr;
unsigned long nextToken = 1;

std::string Token() {
    char text[32];
    std::snprintf(text, sizeof(text), "{TK:%08lu}", nextToken++);
    return text;
}

std::string ReadAll(HANDLE file) {
    std::string content;
    char block[65536];
    DWORD got = 0;
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    while (::ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) content.append(block, got);
    return content;
}

bool WriteAll(HANDLE file, const std::string& data) {
    DWORD written = 0;
    return ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) && written == data.size();
}

// The tokens in a file's content, as "R" wants them.
std::string TokensIn(const std::string& content) {
    std::string found;
    for (size_t at = 0; (at = content.find("{TK:", at)) != std::string::npos; at += 4)
        if (at + 13 <= content.size() && content[at + 12] == '}') found += " " + content.substr(at + 4, 8);
    return found;
}

// Each line ends with the time (milliseconds since 1970), so that a loss can be laid beside the
// scanner's runs.
void Log(const char* kind, const std::string& file, const std::string& tokens) {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const unsigned long long ms = ((static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000) - 11644473600000ull;
    std::fprintf(logFile, "%s %s%s @%llu\n", kind, file.c_str(), tokens.c_str(), ms);
    std::fflush(logFile);
}

// A new content: some host bytes, the curable body, the token.
std::string NewContent(const std::string& token) {
    const size_t host = std::rand() % 3 == 0 ? 300000 : 1 + std::rand() % 4000;
    return std::string(host, 'h') + Body + "\n" + token + "\n";
}

bool Rename(HANDLE file, const std::wstring& path) {
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t));
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    memcpy(info->FileName, path.data(), info->FileNameLength);
    return ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}

HANDLE OpenAlone(const std::wstring& path, DWORD access, DWORD disposition) {
    return ::CreateFileW(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void OneChange(const std::wstring& folder, int files) {
    const int index = std::rand() % files;
    const std::string name = "f" + std::to_string(index) + ".exe";
    const std::wstring path = folder + L"\\f" + std::to_wstring(index) + L".exe";
    const int what = std::rand() % 4;
    bool done = false;
    if (what == 0) {  // append
        HANDLE file = OpenAlone(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string token = Token();
            ::SetFilePointer(file, 0, nullptr, FILE_END);
            if ((done = WriteAll(file, token + "\n"))) Log("W", name, " " + token.substr(4, 8));
            ::CloseHandle(file);
        }
    } else if (what == 1) {  // rewrite
        HANDLE file = OpenAlone(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string seen = TokensIn(ReadAll(file));
            const std::string token = Token();
            ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
            done = WriteAll(file, NewContent(token)) && ::SetEndOfFile(file);
            // What it wrote over is gone by its own doing, even when the rewrite failed half-way.
            Log("R", name, seen);
            if (done) Log("W", name, " " + token.substr(4, 8));
            ::CloseHandle(file);
        }
    } else if (what == 2) {  // save as editors do: a new file written, the old one moved aside, the new one renamed in
        const std::wstring fresh = path + L".new", aside = path + L".bak";
        const std::string token = Token();
        HANDLE file = OpenAlone(fresh, GENERIC_WRITE, CREATE_ALWAYS);
        const bool written = file != INVALID_HANDLE_VALUE && WriteAll(file, NewContent(token));
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        HANDLE old = written ? OpenAlone(path, GENERIC_READ | DELETE, OPEN_EXISTING) : INVALID_HANDLE_VALUE;
        if (old != INVALID_HANDLE_VALUE) {
            const std::string seen = TokensIn(ReadAll(old));
            if (Rename(old, aside)) {
                if (::MoveFileExW(fresh.c_str(), path.c_str(), 0)) {
                    done = true;
                    FILE_DISPOSITION_INFO disposition = {TRUE};
                    ::SetFileInformationByHandle(old, FileDispositionInfo, &disposition, sizeof(disposition));
                    Log("R", name, seen);
                    Log("W", name, " " + token.substr(4, 8));
                } else {
                    Rename(old, path);  // back; if that fails too, the old content stays beside it as .bak
                }
            }
            ::CloseHandle(old);
        }
        if (!done) ::DeleteFileW(fresh.c_str());
    } else {  // delete
        HANDLE file = OpenAlone(path, GENERIC_READ | DELETE, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE) {
            const std::string seen = TokensIn(ReadAll(file));
            FILE_DISPOSITION_INFO disposition = {TRUE};
            if ((done = ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))))
                Log("R", name, seen);
            ::CloseHandle(file);
        }
    }
    if (!done) Log("X", name, "");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_racewriter FOLDER FILES SECONDS LOG SEED\n");
        return 2;
    }
    const std::wstring folder = argv[1];
    const int files = _wtoi(argv[2]);
    const DWORD until = ::GetTickCount() + static_cast<DWORD>(_wtoi(argv[3])) * 1000;
    logFile = _wfopen(argv[4], L"a");
    std::srand(static_cast<unsigned>(_wtoi(argv[5])));
    nextToken = static_cast<unsigned long>(_wtoi(argv[5])) * 1000000ul + 1;
    if (!logFile || files <= 0) return 2;
    while (static_cast<long>(::GetTickCount() - until) < 0) {
        OneChange(folder, files);
        ::Sleep(static_cast<DWORD>(std::rand() % 15));
    }
    return 0;
}
