# The release's Linux programs, built to run on glibc 2.31 and newer (Debian 11,
# Ubuntu 20.04): Debian 12's clang 14 with its libc++ and libc++abi linked in,
# against the Debian 11 root that scripts/debian11-root.sh makes, which gives
# the C library's headers, start-up files and symbol versions, and GCC 10's
# libgcc. Debian 11's own g++ lacks the C++20 parts the program uses.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/linux-glibc231.cmake -DCMAKE_SYSROOT=<root> ...
if(NOT CMAKE_SYSROOT)
  message(FATAL_ERROR "linux-glibc231: pass -DCMAKE_SYSROOT=$(bash scripts/debian11-root.sh)")
endif()
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
# Debian's libc++.a holds libc++abi too; libgcc and its unwinder go in statically,
# so the programs need glibc's libraries alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib++ -static-libgcc")
set(CMAKE_CXX_STANDARD_LIBRARIES "/usr/lib/llvm-14/lib/libc++.a -lpthread")
# Headers and libraries come from the root, programs from this system.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
