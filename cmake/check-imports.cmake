# cmake -DOBJDUMP=<objdump> -DEXECUTABLE=<file.exe> -P check-imports.cmake
# Fails when the executable's import table names winusb.dll or cfgmgr32.dll. An import table
# that cannot be read also fails, so that a broken objdump call never passes as "no imports".

cmake_minimum_required(VERSION 3.25)

set(forbidden winusb.dll cfgmgr32.dll)

execute_process(
    COMMAND "${OBJDUMP}" -p "${EXECUTABLE}"
    OUTPUT_VARIABLE headers
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${EXECUTABLE} (${status}): ${errors}")
endif()

string(TOLOWER "${headers}" headers)
string(REGEX MATCHALL "dll name: [^\n]+" imports "${headers}")
if(NOT imports)
    message(FATAL_ERROR "No import table found in ${EXECUTABLE}")
endif()

set(found FALSE)
foreach(entry IN LISTS imports)
    string(REGEX REPLACE "^dll name: +" "" dll "${entry}")
    string(STRIP "${dll}" dll)
    if(dll IN_LIST forbidden)
        message(NOTICE "forbidden import: ${dll}")
        set(found TRUE)
    endif()
endforeach()
if(found)
    message(FATAL_ERROR "${EXECUTABLE} must load these from the system directory instead")
endif()
list(LENGTH imports count)
message(STATUS "${EXECUTABLE}: ${count} imported DLLs, none of: ${forbidden}")
