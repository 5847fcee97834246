# Import-table check for Windows executables.
#
# winusb.dll and cfgmgr32.dll must be loaded at run time from the system directory only (see
# src/device/win32/Win32Api.hpp). An executable that imports either of them statically would
# let the loader search the executable's own folder first, where a planted DLL could sit.

set(TAVIK_IMPORT_CHECK_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/check-imports.cmake")

# Adds the CTest `<target>.imports`, which fails when the import table of `target` names
# winusb.dll or cfgmgr32.dll (or cannot be read). Reads the table with the toolchain's objdump.
function(tavik_check_imports target)
    if(NOT CMAKE_OBJDUMP)
        message(FATAL_ERROR "tavik_check_imports needs the toolchain's objdump")
    endif()
    add_test(NAME ${target}.imports
        COMMAND ${CMAKE_COMMAND}
            -DOBJDUMP=${CMAKE_OBJDUMP}
            -DEXECUTABLE=$<TARGET_FILE:${target}>
            -P ${TAVIK_IMPORT_CHECK_SCRIPT})
endfunction()
