# Cross-compiles the Windows x64 build with Debian's clang for the MinGW-w64
# target, against the same headers and libraries as the GCC build
# (mingw-w64-x86-64-dev, and the C++ library and runtime of
# g++-mingw-w64-x86-64-posix). The resources still go through windres.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
# The sysroot keeps clang to the MinGW-w64 headers and libraries (without it
# it also searches the host's /usr/include).
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find the C++ library of Debian's MinGW-w64 GCC by itself (its
# folder, lib/gcc/x86_64-w64-mingw32/12-posix, is not a plain version): ask the
# GCC of the posix thread model where it lives.
execute_process(COMMAND ${TOOLCHAIN_PREFIX}-gcc-posix -print-libgcc-file-name
  OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${libgcc}")
  message(FATAL_ERROR "${TOOLCHAIN_PREFIX}-gcc-posix is missing (g++-mingw-w64-x86-64-posix)")
endif()
get_filename_component(gcc_dir "${libgcc}" DIRECTORY)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${gcc_dir}/include/c++ ${gcc_dir}/include/c++/${TOOLCHAIN_PREFIX} ${gcc_dir}/include/c++/backward)
# That library was built by GCC, which keeps thread_local variables in emulated
# TLS (__emutls_*): the code calling into it must do the same. The posix thread
# model needs winpthread at link time. LLVM's linker (package lld) links; GNU ld
# warns about every type_info that clang and GCC laid out differently.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${gcc_dir} -pthread")
