# 32-bit Windows with MinGW-w64 (posix thread model, DWARF-2 unwinding); see qvMinGW.cmake.
#
# With DWARF-2 unwinding every module that has its own copy of libgcc registers its unwind
# tables with that copy only, so an exception thrown in one DLL and caught in another module
# ends in std::terminate. libgcc, libstdc++ and winpthread are therefore linked as DLLs, one
# copy for the whole process; the project copies them beside its programs and installs them to
# bin/ (QV_MINGW_RUNTIME_DLLS).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QV_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-shared-libgcc")
set(QV_MINGW_RUNTIME_DLLS libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll)
include("${CMAKE_CURRENT_LIST_DIR}/qvMinGW.cmake")
