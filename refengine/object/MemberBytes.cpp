// Members kept in memory, or in a temporary file once they grow.
#include "refengine/object/MemberBytes.h"

#include <algorithm>
#include <atomic>
#include <string>

namespace RefEngine {
namespace {

constexpr size_t WriteBatch = 1 << 20;  // bytes gathered before one write: few system calls per member

// A new file in the user's temporary folder, readable by nobody who does not share its deletion, and
// gone when closed (also when the process dies). A name that exists, or a link planted under it, is
// not opened: another name is tried.
HANDLE NewTemporaryFile(DWORD& error) {
    static std::atomic<unsigned> made(0);
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        error = ::GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::wstring path = std::wstring(folder) + L"tervan-member-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(made.fetch_add(1)) + L".tmp";
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

MemberBytes::MemberBytes(uint64_t inMemory) : inMemory_(inMemory) {}

bool MemberBytes::Append(const uint8_t* data, size_t size) {
    if (!failure_.empty()) return false;
    if (size == 0) return true;
    source_.reset();
    fileSource_ = nullptr;
    memory_.insert(memory_.end(), data, data + size);
    size_ += size;
    if (file_ ? memory_.size() >= WriteBatch : size_ > inMemory_) return Spill();
    return true;
}

bool MemberBytes::Spill() {
    if (memory_.empty()) return true;
    if (!file_) {
        DWORD error = 0;
        file_.Reset(NewTemporaryFile(error));
        if (!file_) {
            failure_ = "no temporary file could be made (system error " + std::to_string(error) + ")";
            return false;
        }
    }
    for (size_t done = 0; done < memory_.size();) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(memory_.size() - done, WriteBatch));
        DWORD written = 0;
        if (!::WriteFile(file_.Get(), memory_.data() + done, want, &written, nullptr) || written == 0) {
            const DWORD error = ::GetLastError();
            failure_ = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL
                           ? "no room left in the temporary folder"
                           : "the temporary file could not be written (system error " + std::to_string(error) + ")";
            return false;
        }
        done += written;
    }
    // Kept for the next batch, without its bytes: memory once spilled stays at one batch.
    memory_.clear();
    if (memory_.capacity() > WriteBatch) std::vector<uint8_t>().swap(memory_);
    return true;
}

ByteSource& MemberBytes::Source() {
    if (!source_) {
        fileSource_ = nullptr;
        if (file_ && Spill()) {
            FileSource* fileSource = new FileSource(file_.Get());
            source_.reset(fileSource);
            fileSource_ = fileSource;
        } else {
            source_.reset(new MemorySource(memory_.data(), file_ ? 0 : memory_.size()));
        }
    }
    return *source_;
}

bool MemberBytes::ReadFailed() const { return fileSource_ && fileSource_->Failed(); }

void MemberBytes::Clear() {
    source_.reset();
    fileSource_ = nullptr;
    file_.Reset();
    std::vector<uint8_t>().swap(memory_);
    size_ = 0;
    failure_.clear();
}

}  // namespace RefEngine
