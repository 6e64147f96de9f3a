// Built as the installer is, with the stack protector and the platform
// library's guard. It copies a short text into a stack buffer and returns
// normally; with VEK_OVERRUN set it copies a longer one, past the buffer's end
// and over the guard. The protected function must then end
// the process instead of returning: "returned" is never printed.
// With VEK_SHOW_GUARD set it prints the guard's value instead, as the
// platform library set it before main(). With VEK_RUNTIME_FAULT set it makes
// a fault of the C++ runtime, which the installer's own handling ends.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

[[gnu::noinline]] void copy_into_buffer(const char* text) {
    char buffer[16];
    // Byte by byte through a volatile pointer: the compiler can neither see
    // the overrun nor drop the copy.
    volatile char* out = buffer;
    for (std::size_t i = 0; text[i] != '\0'; ++i) out[i] = text[i];
    std::printf("copied %zu bytes\n", std::strlen(text));
}

}  // namespace

int main() {
    // A fault of the C++ runtime, handled as in the installer: a string
    // longer than any string can be.
    if (std::getenv("VEK_RUNTIME_FAULT") != nullptr) {
        volatile std::size_t too_long = std::string().max_size() + 1;
        std::string text;
        text.reserve(too_long);
        std::puts("returned");
        return 0;
    }
    if (std::getenv("VEK_SHOW_GUARD") != nullptr) {
        std::printf("guard %016" PRIxPTR "\n", __stack_chk_guard);
        return 0;
    }
    copy_into_buffer(std::getenv("VEK_OVERRUN") != nullptr ? "this text is far longer than sixteen bytes, and then some more"
                              : "short");
    std::puts("returned");
    std::fflush(stdout);
    return 0;
}
