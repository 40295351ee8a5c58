# Creates the Wine prefix that WINEPREFIX names, once: the setup test of the Windows test runs
# (build.sh creates it the same way before it runs them). Headless: no display is needed, and
# Wine's offers to install Mono and Gecko are turned off (WINEDLLOVERRIDES). Concurrent runs
# wait for each other on a lock beside the prefix.
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
    set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
    set(ENV{DISPLAY} "")
    message(STATUS "qvWinePrefix: creating ${prefix}")
    execute_process(COMMAND "${WINE}" wineboot --init
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 300)
    # wineboot returns before the Wine server has written the prefix out: wait for it.
    get_filename_component(wineDir "${WINE}" DIRECTORY)
    find_program(QV_WINESERVER NAMES wineserver HINTS "${wineDir}")
    if(QV_WINESERVER)
        execute_process(COMMAND "${QV_WINESERVER}" -w TIMEOUT 300)
    endif()
    if(NOT result EQUAL 0 OR NOT EXISTS "${prefix}/system.reg")
        file(LOCK "${prefix}.lock" RELEASE)
        message(FATAL_ERROR "qvWinePrefix: wineboot failed (${result}):\n${output}")
    endif()
    # A program that crashes just ends (as a test must), instead of starting Wine's debugger,
    # which would wait on its output pipes.
    foreach(key
            "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"
            "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug")
        execute_process(COMMAND "${WINE}" reg delete "${key}" /v Debugger /f
            OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
    endforeach()
    if(QV_WINESERVER)
        execute_process(COMMAND "${QV_WINESERVER}" -w TIMEOUT 300)
    endif()
endif()
file(LOCK "${prefix}.lock" RELEASE)
