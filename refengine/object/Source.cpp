// Paged reading of files.
#include "refengine/object/Source.h"

#include "refengine/object/Scratch.h"

#include <algorithm>

namespace RefEngine {

FileSource::FileSource(HANDLE file) : file_(file) {
    LARGE_INTEGER size = {};
    if (::GetFileSizeEx(file, &size)) size_ = static_cast<uint64_t>(size.QuadPart);
    else failed_ = true;
}

FileSource::~FileSource() {
    for (Page& page : pages_)
        if (!page.data.empty()) GiveBack(std::move(page.data));
}

const FileSource::Page& FileSource::Load(uint64_t number) {
    if (last_ && last_->number == number) return *last_;
    Page* victim = &pages_[0];
    for (Page& page : pages_) {
        if (page.number == number) {
            page.used = ++clock_;
            return *(last_ = &page);
        }
        if (page.used < victim->used) victim = &page;
    }
    // Most files are far smaller than a page: their one page is no larger than they are.
    const size_t capacity = static_cast<size_t>(std::min<uint64_t>(PageSize, size_));
    if (victim->data.size() < capacity) {
        if (victim->data.empty()) victim->data = TakeBuffer();
        victim->data.resize(capacity);
    }
    victim->number = number;
    victim->used = ++clock_;
    victim->length = 0;
    const uint64_t position = number * PageSize;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD got = 0;
    if (::ReadFile(file_, victim->data.data(), static_cast<DWORD>(capacity), &got, &at))
        victim->length = got;
    else if (::GetLastError() != ERROR_HANDLE_EOF)
        failed_ = true;
    return *(last_ = victim);
}

size_t FileSource::Read(uint64_t offset, uint8_t* out, size_t size) {
    size_t copied = 0;
    while (copied < size && offset + copied < size_) {
        const uint64_t at = offset + copied;
        const Page& page = Load(at / PageSize);
        const size_t inPage = static_cast<size_t>(at % PageSize);
        if (inPage >= page.length) break;
        const size_t n = std::min(size - copied, page.length - inPage);
        std::memcpy(out + copied, page.data.data() + inPage, n);
        copied += n;
    }
    return copied;
}

const uint8_t* FileSource::View(uint64_t offset, size_t& size) {
    size = 0;
    if (offset >= size_) return nullptr;
    const Page& page = Load(offset / PageSize);
    const size_t inPage = static_cast<size_t>(offset % PageSize);
    if (inPage >= page.length) return nullptr;
    size = page.length - inPage;
    return page.data.data() + inPage;
}

uint8_t FileSource::At(uint64_t offset) {
    const Page& page = Load(offset / PageSize);
    const size_t inPage = static_cast<size_t>(offset % PageSize);
    return inPage < page.length ? page.data[inPage] : 0;
}

}  // namespace RefEngine
