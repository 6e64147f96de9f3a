// The stack protector's guard value and its failure path, for every program of
// this build that links the platform library.
//
// The compiler's stack protector checks, before a function returns, that the
// guard value it copied below the function's locals is intact. The runtime
// library that usually provides the guard (GCC's libssp) fills it in a
// constructor through CryptAcquireContext, which loads the crypto provider and
// its dependencies with the default DLL search order: from the program's own
// folder, before main() can restrict that search. A version.dll planted beside
// the installer was loaded that way (and, since it had the same constructor,
// deadlocked the loader). Defining both symbols here keeps libssp out of the
// link; the guard is made from values that cost no DLL load.
#include <windows.h>

#include <intrin.h>

#include <cstdint>

extern "C" {

// Read by every protected function; set once, before main(), and never again.
std::uintptr_t __stack_chk_guard = 0;

// A protected function found its guard overwritten: the stack is corrupt, so
// nothing more of the program may run, not even to print. Fail fast as
// Windows' own programs do: the system ends the process with
// STATUS_STACK_BUFFER_OVERRUN (0xC0000409) and no handler of the program runs.
[[noreturn]] __attribute__((no_stack_protector)) void __stack_chk_fail() {
    // __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE)
    asm volatile("int $0x29" : : "c"(2));
    __builtin_unreachable();
}

}  // extern "C"

namespace {

// splitmix64's finaliser: every input bit affects every output bit.
std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

// A constructor, called by the C runtime's start-up before main(): only the
// runtime's own frames, which are not protected, are active then, so no
// protected function can find the guard changed under it. The values are those Windows'
// own runtime falls back on when the loader has not set its cookie: the clock
// at a fine grain, the ids, and addresses that differ with every start
// (address-space layout randomisation of the stack and of the image).
__attribute__((constructor(101), no_stack_protector)) void set_stack_guard() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    int on_stack = 0;

    std::uint64_t seed = mix(__rdtsc());
    seed = mix(seed ^ (std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime));
    seed = mix(seed ^ static_cast<std::uint64_t>(counter.QuadPart));
    seed = mix(seed ^ (std::uint64_t{::GetCurrentProcessId()} << 32 | ::GetCurrentThreadId()));
    seed = mix(seed ^ reinterpret_cast<std::uintptr_t>(&on_stack));
    seed = mix(seed ^ reinterpret_cast<std::uintptr_t>(&__stack_chk_guard));
    // A zero first byte, as glibc's guard has: a string overrun that copies
    // up to a NUL cannot write the guard back unchanged, nor read it out.
    __stack_chk_guard = static_cast<std::uintptr_t>(seed & ~std::uint64_t{0xFF});
}

}  // namespace
