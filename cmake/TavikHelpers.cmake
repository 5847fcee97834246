# Adds the resource script (manifest and firmware images) to a Windows executable.
function(tavik_add_resources target)
    if(WIN32)
        target_sources(${target} PRIVATE "${TAVIK_RESOURCE_SCRIPT}")
        set_property(SOURCE "${TAVIK_RESOURCE_SCRIPT}" APPEND PROPERTY OBJECT_DEPENDS
            ${TAVIK_FIRMWARE_FILES} "${CMAKE_SOURCE_DIR}/resources/updater.manifest")
        target_include_directories(${target} PRIVATE
            "$<$<COMPILE_LANGUAGE:RC>:${TAVIK_FIRMWARE_DIR};${CMAKE_SOURCE_DIR}/resources>")
    endif()
endfunction()

# Registers a test executable with CTest. Cross-built tests run through the Wine emulator with one
# prefix per build tree, made once by the first test that needs it.
function(tavik_add_test target)
    add_test(NAME ${target} COMMAND ${target})
    if(CMAKE_CROSSCOMPILING)
        set_tests_properties(${target} PROPERTIES
            ENVIRONMENT "TAVIK_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
            RESOURCE_LOCK wine)
    endif()
endfunction()
