# 64-bit Windows with MinGW-w64 (posix thread model); see qvMinGW.cmake.
#
# The MinGW runtime (libgcc, libstdc++, winpthread) is linked statically into every program and
# DLL: with SEH unwinding an exception crosses DLL boundaries through the system's unwinder, so
# each module may keep its own copy of the runtime, and the programs need no runtime DLL.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(QV_MINGW_RUNTIME_DLLS "")
include("${CMAKE_CURRENT_LIST_DIR}/qvMinGW.cmake")
