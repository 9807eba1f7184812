// What a scanning context keeps from one object to the next: spare byte buffers, and archive handlers
// that are idle. Taking a fresh block for every file made the heap commit and decommit its top pages
// for each of them, and making a handler asks the system for its memory size and allocates its
// decoder's buffers: both cost more than a small file's whole scan. A context's space is made current
// on the thread that scans with it, for the call; without a current space nothing is kept.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace RefEngine {

class ScratchSpace {
public:
    ScratchSpace() = default;
    ScratchSpace(const ScratchSpace&) = delete;
    ScratchSpace& operator=(const ScratchSpace&) = delete;

    std::vector<std::vector<uint8_t>> buffers;
    struct Idle {
        std::string kind;
        std::shared_ptr<void> object;
    };
    std::vector<Idle> idle;
};

// Makes a space current on this thread for the scope (the previous one comes back after it).
class ScratchScope {
public:
    explicit ScratchScope(ScratchSpace& space);
    ~ScratchScope();
    ScratchScope(const ScratchScope&) = delete;
    ScratchScope& operator=(const ScratchScope&) = delete;

private:
    ScratchSpace* previous_;
};

// An empty buffer, with the capacity of one given back earlier when there is one.
std::vector<uint8_t> TakeBuffer();
// Keeps the buffer for a later TakeBuffer (a few, none over a few MiB); its content is dropped.
void GiveBack(std::vector<uint8_t>&& buffer);
// An idle object of the kind, or empty; and one kept for later (one of each kind).
std::shared_ptr<void> TakeIdle(const std::string& kind);
void KeepIdle(const std::string& kind, std::shared_ptr<void> object);

// A buffer taken for a scope.
class ScratchBuffer {
public:
    ScratchBuffer() : bytes(TakeBuffer()) {}
    ~ScratchBuffer() { GiveBack(std::move(bytes)); }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    std::vector<uint8_t> bytes;
};

}  // namespace RefEngine
