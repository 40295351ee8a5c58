# Run by CTest: qvdemo --seconds 1 --quiet must exit 0, write nothing to standard error and
# print a report in which every subsystem did its work; --help exits 0 with the usage, and a bad
# option exits 2 with the usage on standard error.
#
#   cmake -DDEMO=<qvdemo> [-DEMULATOR=<wine>] -DEXPECT_JOBS=ON|OFF -P RunDemoTest.cmake
#
# With EMULATOR (a cross build) the demo runs through it.

function(fail text)
    message(FATAL_ERROR "qvDemoTest: ${text}\n--- standard output:\n${out}\n--- standard error:\n${err}")
endfunction()

execute_process(COMMAND ${EMULATOR} "${DEMO}" --seconds 1 --quiet
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 90)
message(STATUS "qvdemo --seconds 1 --quiet:\n${out}")
if(NOT result STREQUAL "0")
    fail("exit code ${result}, expected 0")
endif()
if(NOT err STREQUAL "")
    fail("unexpected output on standard error")
endif()

foreach(pattern
        "frames +simulation [1-9][0-9]*, render [1-9][0-9]*, coordinator [1-9][0-9]*"
        "sync round trip +p50 [0-9]+\\.[0-9] us, p99 [0-9]+\\.[0-9] us over [1-9][0-9]* snapshots"
        "modules loaded +2: frame-overlay, physics-probe \\(suspended and resumed once, finished\\)"
        "frame-overlay +[1-9][0-9]* frames drawn .*, [1-9][0-9]* skipped while suspended \\(1 suspension\\)"
        "physics-probe +[1-9][0-9]* physics calls, .*, [1-9][0-9]* skipped while suspended \\(1 suspension\\)"
        "files found +2 in [12] search paths?"
        "shut down +3 loops")
    if(NOT out MATCHES "${pattern}")
        fail("the report lacks '${pattern}'")
    endif()
endforeach()

# Every input event sent was delivered: the last synchronous message drains the queue.
if(NOT out MATCHES "async messages +([0-9]+) delivered of ([0-9]+) sent")
    fail("the report lacks the asynchronous message count")
endif()
if(CMAKE_MATCH_1 EQUAL 0 OR NOT CMAKE_MATCH_1 EQUAL CMAKE_MATCH_2)
    fail("${CMAKE_MATCH_1} asynchronous messages delivered of ${CMAKE_MATCH_2} sent")
endif()

if(EXPECT_JOBS)
    if(NOT out MATCHES "jobs run +([1-9][0-9]*) \\(([0-9]+) bands a frame, joined as one list\\)")
        fail("the report shows no jobs run")
    endif()
    # Every frame's bands ran (a frame that was cut short by the shutdown ran none).
    set(jobs ${CMAKE_MATCH_1})
    set(bands ${CMAKE_MATCH_2})
    string(REGEX MATCH "render ([0-9]+)," frames "${out}")
    set(frames ${CMAKE_MATCH_1})
    math(EXPR expected "${frames} * ${bands}")
    if(jobs LESS expected)
        fail("${jobs} jobs for ${frames} frames of ${bands} bands")
    endif()
endif()

execute_process(COMMAND ${EMULATOR} "${DEMO}" --help RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result STREQUAL "0" OR NOT out MATCHES "^usage: qvdemo")
    fail("--help: exit code ${result}")
endif()

execute_process(COMMAND ${EMULATOR} "${DEMO}" --frobnicate RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result STREQUAL "2" OR NOT err MATCHES "unknown option '--frobnicate'.*usage: qvdemo")
    fail("a bad option: exit code ${result}, expected 2 with the usage")
endif()
execute_process(COMMAND ${EMULATOR} "${DEMO}" --seconds 0 RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result STREQUAL "2")
    fail("--seconds 0: exit code ${result}, expected 2")
endif()
