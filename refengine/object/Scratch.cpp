// The current context's spare buffers and idle objects.
#include "refengine/object/Scratch.h"
#include "refengine/Limits.h"

namespace RefEngine {
namespace {

// A plain pointer: nothing for the thread to destroy when it ends.
thread_local ScratchSpace* current = nullptr;

}  // namespace

ScratchScope::ScratchScope(ScratchSpace& space) : previous_(current) { current = &space; }
ScratchScope::~ScratchScope() { current = previous_; }

std::vector<uint8_t> TakeBuffer() {
    if (!current || current->buffers.empty()) return std::vector<uint8_t>();
    std::vector<uint8_t> buffer = std::move(current->buffers.back());
    current->buffers.pop_back();
    return buffer;
}

void GiveBack(std::vector<uint8_t>&& buffer) {
    if (!current || buffer.capacity() == 0 || buffer.capacity() > Limits::SpareBufferBytes || current->buffers.size() >= Limits::SpareBuffers) return;
    size_t kept = buffer.capacity();
    for (const std::vector<uint8_t>& spare : current->buffers) kept += spare.capacity();
    if (kept > Limits::SpareBytes) return;
    buffer.clear();
    current->buffers.push_back(std::move(buffer));
}

std::shared_ptr<void> TakeIdle(const std::string& kind) {
    if (!current) return std::shared_ptr<void>();
    for (auto idle = current->idle.begin(); idle != current->idle.end(); ++idle)
        if (idle->kind == kind) {
            std::shared_ptr<void> object = std::move(idle->object);
            current->idle.erase(idle);
            return object;
        }
    return std::shared_ptr<void>();
}

void KeepIdle(const std::string& kind, std::shared_ptr<void> object) {
    if (!current || !object) return;
    for (const ScratchSpace::Idle& idle : current->idle)
        if (idle.kind == kind) return;
    current->idle.push_back(ScratchSpace::Idle{kind, std::move(object)});
}

}  // namespace RefEngine
