// How the installer ends on a fault of the C++ runtime: memory exhausted, a
// length beyond what a container can hold, an exception that nothing catches.
// None of these has a path in the program; each ends the process at once with
// a one-line diagnostic on standard error and exit code 3 (what abort() gives
// on Windows, without the C runtime's own message box or text).
//
// The runtime's own versions also end in abort(), but throw an exception
// object on the way and demangle its type name: that links the exception
// classes, a second string implementation and a demangler, about 60 KiB of the
// program, for a message nobody catches.
#include "app/console.h"

#include <cstdlib>
#include <exception>
#include <string_view>

namespace {

[[noreturn]] void runtime_fault(std::string_view what) {
    (void)vek::write_std_stream(vek::StandardStream::error, "internal fault: ");
    (void)vek::write_std_stream(vek::StandardStream::error, what);
    (void)vek::write_std_stream(vek::StandardStream::error, "\n");
    std::_Exit(3);
}

}  // namespace

namespace std {

void __throw_bad_alloc() { runtime_fault("out of memory"); }
void __throw_bad_array_new_length() { runtime_fault("bad array new length"); }
void __throw_length_error(const char* what) { runtime_fault(what); }
void __throw_logic_error(const char* what) { runtime_fault(what); }
void __throw_out_of_range_fmt(const char* what, ...) { runtime_fault(what); }

}  // namespace std

namespace __gnu_cxx {

void __verbose_terminate_handler() { runtime_fault("terminate called"); }

}  // namespace __gnu_cxx
