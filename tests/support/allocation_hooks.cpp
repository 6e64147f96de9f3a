#include "support/allocation_hooks.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t allocations = 0;
const void* watched = nullptr;
void (*watched_release)() = nullptr;

void* allocate(std::size_t size) {
    ++allocations;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void release(void* block) noexcept {
    if (block != nullptr && block == watched) {
        watched = nullptr;
        auto callback = watched_release;
        watched_release = nullptr;
        if (callback != nullptr) callback();
    }
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }

namespace vek::testing {

AllocationCounter::AllocationCounter() : start_(allocations) {}
AllocationCounter::~AllocationCounter() = default;
std::size_t AllocationCounter::count() const { return allocations - start_; }

void watch_release(const void* block, void (*on_release)()) {
    watched = block;
    watched_release = on_release;
}

void stop_watching() {
    watched = nullptr;
    watched_release = nullptr;
}

}  // namespace vek::testing
