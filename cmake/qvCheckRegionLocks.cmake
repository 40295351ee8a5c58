# Fails when the library takes one of its locks by hand: every acquire() or tryAcquire() call in
# source/ and include/ must be inside include/Threading/qvLocks.h (the lock classes and the two
# guards that take them) or source/Threading/qvLocks.cpp (their definitions). Anywhere else a
# lock is taken with qvSynchDetail::RegionLock (an internal region, with no user code under it)
# or, for a lock held around user code, qvSynchDetail::UserCodeLock.
#
#   cmake -DQV_SOURCE_DIR=<project root> -P cmake/qvCheckRegionLocks.cmake

if(NOT QV_SOURCE_DIR)
    message(FATAL_ERROR "qvCheckRegionLocks: QV_SOURCE_DIR is not set")
endif()

file(GLOB_RECURSE files RELATIVE "${QV_SOURCE_DIR}"
    "${QV_SOURCE_DIR}/source/*.h" "${QV_SOURCE_DIR}/source/*.cpp"
    "${QV_SOURCE_DIR}/include/*.h")
list(REMOVE_ITEM files include/Threading/qvLocks.h source/Threading/qvLocks.cpp)
list(LENGTH files nFiles)
if(nFiles LESS 20)
    message(FATAL_ERROR "qvCheckRegionLocks: only ${nFiles} files found under ${QV_SOURCE_DIR}")
endif()

set(found "")
foreach(file IN LISTS files)
    file(STRINGS "${QV_SOURCE_DIR}/${file}" lines REGEX "(\\.|->)(acquire|tryAcquire)[ \t]*\\(")
    foreach(line IN LISTS lines)
        string(STRIP "${line}" line)
        string(APPEND found "\n  ${file}: ${line}")
    endforeach()
endforeach()

if(found)
    message(FATAL_ERROR "A lock of the library is taken by hand:${found}\n"
        "Take it with qvSynchDetail::RegionLock (include/Threading/qvLocks.h): an internal region, "
        "so that suspend() and terminate() never stop a thread that holds it; copy or build "
        "functors and callables before it and destroy them after it. A lock held around user code "
        "takes qvSynchDetail::UserCodeLock instead.")
endif()
message(STATUS "qvCheckRegionLocks: ${nFiles} files, no lock taken by hand")
