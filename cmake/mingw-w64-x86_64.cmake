# Cross build for 64-bit Windows: Debian's clang 16 and lld 16 for the
# x86_64-w64-mingw32 target, over the MinGW-w64 runtime and GCC 12's libstdc++
# for that target. Clang and lld give what Windows developers debug and check
# a release with: CodeView debug information in a PDB file (Windows' DbgHelp
# reads no DWARF), CET shadow-stack marking, and a link without a time stamp,
# so that a rebuild gives the same bytes.
#
# One toolchain for the whole windows preset, test programs included: the
# tests then run code built exactly as the shipped installer is, and
# GoogleTest, the program's library and the tests share one compiler's view of
# libstdc++.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_STRIP llvm-strip-16)
set(CMAKE_AR llvm-ar-16)
set(CMAKE_RANLIB llvm-ranlib-16)
# The shipped executable's check reads the image and its PDB with these.
set(VEK_READOBJ llvm-readobj-16)
set(VEK_PDBUTIL llvm-pdbutil-16)

# GCC 12's libstdc++ for MinGW-w64, posix thread model (GoogleTest for Windows
# needs std::mutex, which the win32 model lacks). clang looks only in
# /usr/include/c++ by itself.
set(gcc_dir /usr/lib/gcc/${triple}/12-posix)
# That libstdc++ offers std::expected only when the compiler announces C++20
# concepts in full; clang 16 handles what <expected> needs but still announces
# the older value.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${gcc_dir}/include/c++ \
-isystem ${gcc_dir}/include/c++/${triple} -D__cpp_concepts=202002L -Wno-macro-redefined")
set(CMAKE_C_FLAGS_INIT "")
# lld 16 by its full path: a plain ld.lld may be another version (Debian's
# default is 14, which refuses what clang 16 writes into the objects). The
# runtime libraries come from GCC's folder, statically; libgcc's emulated
# thread-locals, which libstdc++ uses, call winpthreads. (At the link the
# compile flags come along, -nostdinc++ among them, unused there.)
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT
        "-fuse-ld=lld --ld-path=/usr/lib/llvm-16/bin/ld.lld -L${gcc_dir} -Wno-unused-command-line-argument")
endforeach()
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-Bstatic -lpthread")
# clang turns LIBRARY_PATH into search folders, which lld records in the PDB:
# the link ignores it, so that the machine's environment leaves no trace.
set(CMAKE_CXX_LINKER_LAUNCHER env -u LIBRARY_PATH)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every Windows program of this build runs under Wine, in the prefix that the
# test fixture prepares.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
