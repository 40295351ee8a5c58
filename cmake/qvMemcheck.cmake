# Runs every test program of a build tree once under valgrind memcheck.
#
#   cmake -DBUILD_DIR=build/memcheck [-DVALGRIND=valgrind] [-DTIMEOUT_FACTOR=10]
#         -P cmake/qvMemcheck.cmake
#
# The test programs are the CTest tests of BUILD_DIR whose command is a program built in that
# tree (a test that runs another tool, such as the install test's cmake script, is skipped and
# named). A test that runs a script around a program of the tree can name that program and its
# arguments with an entry QV_MEMCHECK_COMMAND=<program> <arguments...> in its CTest ENVIRONMENT
# property; that command then runs here instead of the script. A test program that cannot run
# under valgrind says why with an entry QV_MEMCHECK_SKIP=<reason>; it is skipped and the reason
# shown. Each runs with its CTest arguments, working directory and environment, under
#
#   valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
#
# so that any memcheck error or a definite or indirect leak fails it. Death tests run in the
# "threadsafe" style: the child re-executes the program, and valgrind does not follow it
# (--trace-children=no), so children that abort on purpose are not checked and do not count.
# Every program sees QV_MEMCHECK=1, and GTEST_BRIEF=1 keeps its output to failures and totals.
#
# A test program that is too slow under valgrind can name the tests to run there with an
# entry QV_MEMCHECK_GTEST_FILTER=<gtest filter> in its CTest ENVIRONMENT property; it becomes
# --gtest_filter=<filter> here and means nothing anywhere else.
#
# The time limit of each program is its CTest TIMEOUT times TIMEOUT_FACTOR (valgrind is
# 20 to 50 times slower, but a limit only ever catches a hang), at most 1800 s.

if(NOT BUILD_DIR)
    message(FATAL_ERROR "qvMemcheck: BUILD_DIR is not set")
endif()
get_filename_component(BUILD_DIR "${BUILD_DIR}" ABSOLUTE)
if(NOT VALGRIND)
    set(VALGRIND valgrind)
endif()
if(NOT TIMEOUT_FACTOR)
    set(TIMEOUT_FACTOR 10)
endif()
get_filename_component(cmakeDirectory "${CMAKE_COMMAND}" DIRECTORY)
find_program(CTEST_PROGRAM ctest HINTS "${cmakeDirectory}" REQUIRED)

execute_process(COMMAND "${CTEST_PROGRAM}" --show-only=json-v1
    WORKING_DIRECTORY "${BUILD_DIR}"
    OUTPUT_VARIABLE testsJson
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "qvMemcheck: ctest could not list the tests of ${BUILD_DIR}")
endif()

# somalloc=nouserintercepts: the test programs that replace the global operator new (to count
# allocations or make one fail) keep their own; it takes its memory from malloc, which valgrind
# still checks. Without it valgrind puts its own operator new in their place, and nothing is
# counted or failed. Programs without such a replacement are not affected.
set(valgrindOptions
    --tool=memcheck --quiet --error-exitcode=1
    --leak-check=full --errors-for-leak-kinds=definite,indirect
    --show-leak-kinds=definite,indirect
    --trace-children=no --child-silent-after-fork=yes
    --soname-synonyms=somalloc=nouserintercepts)

string(JSON testCount LENGTH "${testsJson}" tests)
set(failed "")
set(passed 0)
if(testCount GREATER 0)
    math(EXPR lastTest "${testCount} - 1")
    foreach(index RANGE ${lastTest})
        string(JSON name GET "${testsJson}" tests ${index} name)
        string(JSON command ERROR_VARIABLE noCommand GET "${testsJson}" tests ${index} command)
        if(noCommand)
            message(STATUS "qvMemcheck: ${name}: skipped (no command)")
            continue()
        endif()
        string(JSON argumentCount LENGTH "${command}")
        string(JSON program GET "${command}" 0)
        set(arguments "")
        if(argumentCount GREATER 1)
            math(EXPR lastArgument "${argumentCount} - 1")
            foreach(argumentIndex RANGE 1 ${lastArgument})
                string(JSON argument GET "${command}" ${argumentIndex})
                list(APPEND arguments "${argument}")
            endforeach()
        endif()
        # A script test may name the program of this tree that it wraps; a program may be
        # unfit for valgrind.
        set(skipReason "")
        string(JSON propertyCount ERROR_VARIABLE noProperties LENGTH "${testsJson}" tests ${index} properties)
        if(NOT noProperties AND propertyCount GREATER 0)
            math(EXPR lastProperty "${propertyCount} - 1")
            foreach(propertyIndex RANGE ${lastProperty})
                string(JSON propertyName GET "${testsJson}" tests ${index} properties ${propertyIndex} name)
                if(propertyName STREQUAL "ENVIRONMENT")
                    string(JSON entryCount LENGTH "${testsJson}" tests ${index} properties ${propertyIndex} value)
                    math(EXPR lastEntry "${entryCount} - 1")
                    foreach(entryIndex RANGE ${lastEntry})
                        string(JSON entry GET "${testsJson}" tests ${index} properties ${propertyIndex} value ${entryIndex})
                        if(entry MATCHES "^QV_MEMCHECK_COMMAND=(.*)$")
                            separate_arguments(arguments UNIX_COMMAND "${CMAKE_MATCH_1}")
                            list(POP_FRONT arguments program)
                        elseif(entry MATCHES "^QV_MEMCHECK_SKIP=(.*)$")
                            set(skipReason "${CMAKE_MATCH_1}")
                        endif()
                    endforeach()
                endif()
            endforeach()
        endif()
        if(skipReason)
            message(STATUS "qvMemcheck: ${name}: skipped (${skipReason})")
            continue()
        endif()
        string(FIND "${program}" "${BUILD_DIR}/" inBuildTree)
        if(NOT inBuildTree EQUAL 0)
            message(STATUS "qvMemcheck: ${name}: skipped (runs ${program}, not a test program)")
            continue()
        endif()

        set(workingDirectory "${BUILD_DIR}")
        set(timeout 300)
        set(environment QV_MEMCHECK=1 GTEST_DEATH_TEST_STYLE=threadsafe GTEST_BRIEF=1)
        string(JSON propertyCount ERROR_VARIABLE noProperties LENGTH "${testsJson}" tests ${index} properties)
        if(NOT noProperties AND propertyCount GREATER 0)
            math(EXPR lastProperty "${propertyCount} - 1")
            foreach(propertyIndex RANGE ${lastProperty})
                string(JSON propertyName GET "${testsJson}" tests ${index} properties ${propertyIndex} name)
                if(propertyName STREQUAL "WORKING_DIRECTORY")
                    string(JSON workingDirectory GET "${testsJson}" tests ${index} properties ${propertyIndex} value)
                elseif(propertyName STREQUAL "TIMEOUT")
                    string(JSON timeout GET "${testsJson}" tests ${index} properties ${propertyIndex} value)
                elseif(propertyName STREQUAL "ENVIRONMENT")
                    string(JSON entryCount LENGTH "${testsJson}" tests ${index} properties ${propertyIndex} value)
                    math(EXPR lastEntry "${entryCount} - 1")
                    foreach(entryIndex RANGE ${lastEntry})
                        string(JSON entry GET "${testsJson}" tests ${index} properties ${propertyIndex} value ${entryIndex})
                        if(entry MATCHES "^QV_MEMCHECK_GTEST_FILTER=(.*)$")
                            list(APPEND arguments "--gtest_filter=${CMAKE_MATCH_1}")
                        endif()
                        list(APPEND environment "${entry}")
                    endforeach()
                endif()
            endforeach()
        endif()
        string(REGEX REPLACE "\\..*$" "" timeout "${timeout}") # whole seconds
        math(EXPR timeout "${timeout} * ${TIMEOUT_FACTOR}")
        if(timeout GREATER 1800)
            set(timeout 1800)
        endif()

        message(STATUS "qvMemcheck: ${name}: valgrind ${program} ${arguments}")
        string(TIMESTAMP started "%s")
        execute_process(
            COMMAND "${CMAKE_COMMAND}" -E env ${environment}
                    "${VALGRIND}" ${valgrindOptions} "${program}" ${arguments}
            WORKING_DIRECTORY "${workingDirectory}"
            TIMEOUT ${timeout}
            RESULT_VARIABLE result)
        string(TIMESTAMP finished "%s")
        math(EXPR seconds "${finished} - ${started}")
        if(result STREQUAL "0")
            message(STATUS "qvMemcheck: ${name}: clean (${seconds} s)")
            math(EXPR passed "${passed} + 1")
        else()
            message(STATUS "qvMemcheck: ${name}: FAILED (${result}, ${seconds} s)")
            list(APPEND failed "${name}")
        endif()
    endforeach()
endif()

if(passed EQUAL 0 AND NOT failed)
    message(FATAL_ERROR "qvMemcheck: no test program found in ${BUILD_DIR}")
endif()
if(failed)
    message(FATAL_ERROR "qvMemcheck: failed under valgrind: ${failed}")
endif()
message(STATUS "qvMemcheck: ${passed} test programs clean under valgrind memcheck")
