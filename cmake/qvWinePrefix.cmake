# Creates the Wine prefix that WINEPREFIX names, once, and runs one program in it: the setup test
# of the Windows test runs (build.sh does the same before it runs them). Headless: no display is
# needed, Wine's offers to install Mono and Gecko are turned off, and so is its debugger, so
# that a program that crashes just ends, as a test must (WINEDLLOVERRIDES; the test presets and
# build.sh set the same for every program). Concurrent runs wait for each other on a lock
# beside the prefix.
#
#   WINEPREFIX=<dir> cmake -DWINE=<wine> -P qvWinePrefix.cmake

if(NOT DEFINED ENV{WINEPREFIX} OR "$ENV{WINEPREFIX}" STREQUAL "")
    message(FATAL_ERROR "qvWinePrefix: set WINEPREFIX to the prefix to create")
endif()
if(NOT WINE)
    set(WINE wine)
endif()
set(prefix "$ENV{WINEPREFIX}")
get_filename_component(parent "${prefix}" DIRECTORY)
file(MAKE_DIRECTORY "${parent}")
file(LOCK "${prefix}.lock" TIMEOUT 600 RESULT_VARIABLE locked)
if(NOT locked EQUAL 0)
    message(FATAL_ERROR "qvWinePrefix: could not lock ${prefix}.lock: ${locked}")
endif()
if(NOT EXISTS "${prefix}/system.reg")
    set(ENV{WINEDEBUG} "-all")
    set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=;winedbg.exe=d")
    set(ENV{DISPLAY} "")
    message(STATUS "qvWinePrefix: creating ${prefix}")
    # Output to a file, never to a pipe: Wine's services, started here, keep the standard
    # handles they inherit open as long as they run, and a reader of the pipe would wait for
    # them (see the warm-up below).
    execute_process(COMMAND "${WINE}" wineboot --init
        RESULT_VARIABLE result INPUT_FILE /dev/null
        OUTPUT_FILE "${prefix}.log" ERROR_FILE "${prefix}.log" TIMEOUT 300)
    file(READ "${prefix}.log" output)
    # wineboot returns before the Wine server has written the prefix out: wait for it.
    get_filename_component(wineDir "${WINE}" DIRECTORY)
    find_program(QV_WINESERVER NAMES wineserver HINTS "${wineDir}")
    if(QV_WINESERVER)
        execute_process(COMMAND "${QV_WINESERVER}" -w TIMEOUT 300)
    endif()
    if(NOT result EQUAL 0 OR NOT EXISTS "${prefix}/system.reg")
        # One program run to the end before the test programs start: it brings up the Wine server and
# Wine's own services (explorer, plug and play, device manager). They inherit the standard
# handles of the program that starts them and keep them open as long as they run, so they must
# not be started by a test program whose output CTest reads through a pipe: CTest would wait for
# the pipe to close, long after the program ended. Here they get /dev/null.
execute_process(COMMAND "${WINE}" cmd /c exit RESULT_VARIABLE result
    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 300)
file(LOCK "${prefix}.lock" RELEASE)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "qvWinePrefix: Wine could not run a program in ${prefix} (${result})")
endif()
        message(FATAL_ERROR "qvWinePrefix: wineboot failed (${result}):\n${output}")
    endif()
    if(QV_WINESERVER)
        execute_process(COMMAND "${QV_WINESERVER}" -w TIMEOUT 300)
    endif()
endif()
# One program run to the end before the test programs start: it brings up the Wine server and
# Wine's own services (explorer, plug and play, device manager). They inherit the standard
# handles of the program that starts them and keep them open as long as they run, so they must
# not be started by a test program whose output CTest reads through a pipe: CTest would wait for
# the pipe to close, long after the program ended. Here they get /dev/null.
execute_process(COMMAND "${WINE}" cmd /c exit RESULT_VARIABLE result
    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 300)
file(LOCK "${prefix}.lock" RELEASE)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "qvWinePrefix: Wine could not run a program in ${prefix} (${result})")
endif()
