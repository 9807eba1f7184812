// The bound on single allocations while archives are read (see AllocationCap.cpp).
#pragma once

#include <cstddef>

namespace RefEngine {

const size_t MaxAllocation = 256u << 20;

// While one of these lives, allocations over MaxAllocation fail.
class ArchiveAllocations {
public:
    ArchiveAllocations();
    ~ArchiveAllocations();
    ArchiveAllocations(const ArchiveAllocations&) = delete;
    ArchiveAllocations& operator=(const ArchiveAllocations&) = delete;
};

}  // namespace RefEngine
