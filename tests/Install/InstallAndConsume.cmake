# Run by CTest: install, then build and run the consumer through find_package and pkg-config;
# then build it once more with the library's source tree as a sub-project (FetchContent).
set(PREFIX "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
    endif()
endfunction()

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")

if(TARGET_WINDOWS)
    # The Windows install tree: the DLL in bin/ (with the MinGW runtime DLLs where the toolchain
    # links them as DLLs), its import library, the headers and the CMake package.
    foreach(file
            "bin/qvFoundationComponents.dll"
            "lib/qvFoundationComponents.dll.a"
            "include/qvFoundationComponents/qvFoundationComponents.h"
            "lib/cmake/qvFoundationComponents/qvFoundationComponentsConfig.cmake"
            "lib/cmake/qvFoundationComponents/qvFoundationComponentsConfigVersion.cmake")
        if(NOT EXISTS "${PREFIX}/${file}")
            message(FATAL_ERROR "not installed: ${file}")
        endif()
    endforeach()
    set(toolchain "")
    if(TOOLCHAIN_FILE)
        set(toolchain "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}")
    endif()
    run("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/cmake" ${toolchain}
        "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_FIND_ROOT_PATH=${PREFIX}"
        "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
    run("${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake")
    # The installed bin/ as Wine sees it (the host's root is drive Z:).
    string(REPLACE "/" "\\" windowsBin "Z:${PREFIX}/bin")
    set(ENV{WINEPATH} "${windowsBin}")
    run(${EMULATOR} "${WORK_DIR}/cmake/qvConsumer.exe")
    return()
endif()

foreach(file
        "include/qvFoundationComponents/qvFoundationComponents.h"
        "lib/cmake/qvFoundationComponents/qvFoundationComponentsConfig.cmake"
        "lib/cmake/qvFoundationComponents/qvFoundationComponentsConfigVersion.cmake"
        "lib/pkgconfig/qvFoundationComponents.pc")
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
file(GLOB sonames "${PREFIX}/lib/libqvFoundationComponents.so.*")
if(NOT sonames)
    message(FATAL_ERROR "the versioned library with its SONAME was not installed")
endif()

# 0. The library alone, configured as the README's install section says, on a machine without
# GoogleTest and Google Benchmark: configuring succeeds, and nothing makes warnings errors.
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/library" "-DCMAKE_CXX_COMPILER=${CXX}"
    -DBUILD_TESTING=OFF -DQV_BUILD_BENCHMARKS=OFF -DQV_BUILD_EXAMPLES=OFF
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
file(READ "${WORK_DIR}/library/compile_commands.json" commands)
if(commands MATCHES "-Werror")
    message(FATAL_ERROR "a user's build of the library makes warnings errors")
endif()

# Loki's headers outside the compiler's own path (a prefix of its own): found through the
# package's QV_LOKI_INCLUDE_DIR, and its deprecation warnings stay out of -Werror builds.
set(lokiCopy "${WORK_DIR}/loki-prefix/include")
file(COPY "${LOKI_INCLUDE_DIR}/loki" DESTINATION "${lokiCopy}")

# 1. find_package
run("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/cmake"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DQV_LOKI_INCLUDE_DIR=${lokiCopy}"
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS} -Wall -Wextra -Werror" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake")
run("${WORK_DIR}/cmake/qvConsumer")
# Without Loki the package says so, instead of failing later at a missing header.
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/cmake-no-loki"
    "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DQV_LOKI_INCLUDE_DIR=${WORK_DIR}/no-loki"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0 OR NOT output MATCHES "Loki 0.1.7 was not found")
    message(FATAL_ERROR "the package did not report a missing Loki (${result}):\n${output}")
endif()

# 2. pkg-config
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/lib/pkgconfig")
execute_process(COMMAND pkg-config --cflags --libs qvFoundationComponents
    RESULT_VARIABLE result OUTPUT_VARIABLE pkgFlags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know qvFoundationComponents")
endif()
separate_arguments(pkgFlags UNIX_COMMAND "${pkgFlags}")
separate_arguments(cxxFlags UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
run("${CXX}" -std=c++20 ${cxxFlags} "${CONSUMER_SOURCE}/main.cpp" -o "${WORK_DIR}/qvConsumerPkg"
    ${pkgFlags} "-Wl,-rpath,${PREFIX}/lib")
run("${WORK_DIR}/qvConsumerPkg")

# 3. FetchContent / add_subdirectory of the source tree
run("${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}/../subproject" -B "${WORK_DIR}/subproject"
    "-DQV_SOURCE_DIR=${SOURCE_DIR}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DLOKI_INCLUDE_DIR=${lokiCopy}" -DQV_WARNINGS_AS_ERRORS=ON
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
    "-DCMAKE_SHARED_LINKER_FLAGS=${LINKER_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/subproject" --target qvConsumer --parallel 2)
run("${WORK_DIR}/subproject/qvConsumer")
