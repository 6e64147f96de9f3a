// The test binary's replacement of the global operator new and delete, with
// two uses: counting the allocations made in a scope, and noticing when one
// particular block is released. Nothing in the hooks allocates.
#pragma once

#include <cstddef>

namespace vek::testing {

// Counts the allocations made while it lives (on this thread).
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    std::size_t count() const;

private:
    std::size_t start_;
};

// Watches one block: when it is released, calls `on_release` once (which must
// not allocate) and stops watching.
void watch_release(const void* block, void (*on_release)());
void stop_watching();

}  // namespace vek::testing
