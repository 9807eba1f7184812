// The bound on single allocations while archives are read (see AllocationCap.cpp).
#pragma once

#include "refengine/Limits.h"

#include <cstddef>

namespace RefEngine {

using Limits::MaxAllocation;

// While one of these lives, allocations over MaxAllocation fail.
class ArchiveAllocations {
public:
    ArchiveAllocations();
    ~ArchiveAllocations();
    ArchiveAllocations(const ArchiveAllocations&) = delete;
    ArchiveAllocations& operator=(const ArchiveAllocations&) = delete;
};

}  // namespace RefEngine
