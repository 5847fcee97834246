# Releases: the version resource every Windows executable carries, the one list of what a release
# ships, and the build settings that make a release reproducible. scripts/release.sh builds the
# targets tavik-release-windows and tavik-release-linux defined here and reads what they leave in
# ${CMAKE_BINARY_DIR}/release/.

option(TAVIK_REPRODUCIBLE
    "Outputs that depend on neither the build's folders nor its time (release builds)" OFF)

# The Windows executables a release ships, each as TARGET=DESCRIPTION (the version resource's
# FileDescription). A target this build does not define is left out, so an executable still being
# written costs nothing here.
set(TAVIK_WINDOWS_RELEASE_EXECUTABLES
    "TavikUpdater=Tavik Updater"
    "tavik-cli=Tavik Updater command line")

set(TAVIK_VERSION_RC_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/../resources/version.rc.in")

if(TAVIK_REPRODUCIBLE)
    # The source and build folders appear in no output (__FILE__, debug information, symbol
    # names). The build folder, inside the source folder in a release, is listed last so that it
    # is the mapping GCC applies to its files.
    add_compile_options(
        "$<$<COMPILE_LANGUAGE:C,CXX,ASM>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
        "$<$<COMPILE_LANGUAGE:C,CXX,ASM>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
    if(MINGW)
        # The linker writes the time of the link into the PE header unless told not to; the
        # symbol table and the runtime libraries' debug information are not shipped (-s).
        add_link_options(LINKER:--no-insert-timestamp -s)
    endif()
endif()

# Gives a Windows executable its version resource: FILEVERSION and PRODUCTVERSION from the project
# version, the product name, DESCRIPTION as its FileDescription, its file name, the licence.
function(tavik_add_version_resource target description)
    if(NOT WIN32)
        return()
    endif()
    # Windows versions have four numbers; the project's missing ones are 0.
    set(numbers)
    foreach(part IN ITEMS MAJOR MINOR PATCH TWEAK)
        set(number "${PROJECT_VERSION_${part}}")
        if(number STREQUAL "")
            set(number 0)
        endif()
        list(APPEND numbers ${number})
    endforeach()
    string(JOIN "," version_numbers ${numbers})
    # The copyright line of the licence the executable is under, word for word.
    file(STRINGS "${PROJECT_SOURCE_DIR}/LICENSE" copyright_lines REGEX "^Copyright ")
    list(GET copyright_lines 0 copyright)
    string(APPEND copyright "; MIT License")
    set(internal_name "${target}")
    get_target_property(output_name ${target} OUTPUT_NAME)
    if(output_name)
        set(internal_name "${output_name}")
    endif()
    set(file_name "${internal_name}${CMAKE_EXECUTABLE_SUFFIX}")
    set(script "${CMAKE_BINARY_DIR}/version-resources/${target}.rc")
    configure_file("${TAVIK_VERSION_RC_TEMPLATE}" "${script}" @ONLY)
    target_sources(${target} PRIVATE "${script}")
endfunction()

# Adds the version resources and the release targets once every executable exists (deferred to
# the end of the top-level CMakeLists.txt).
function(tavik_release)
    file(WRITE "${CMAKE_BINARY_DIR}/release/version.txt" "${PROJECT_VERSION}\n")
    if(WIN32)
        set(targets)
        set(files)
        foreach(entry IN LISTS TAVIK_WINDOWS_RELEASE_EXECUTABLES)
            if(NOT entry MATCHES "^([^=]+)=(.+)$")
                message(FATAL_ERROR "TAVIK_WINDOWS_RELEASE_EXECUTABLES: '${entry}' is not "
                                    "TARGET=DESCRIPTION")
            endif()
            set(target "${CMAKE_MATCH_1}")
            set(description "${CMAKE_MATCH_2}")
            if(NOT TARGET ${target})
                continue()
            endif()
            tavik_add_version_resource(${target} "${description}")
            list(APPEND targets ${target})
            list(APPEND files "$<TARGET_FILE:${target}>")
            if(TARGET version-info-probe)
                # What Windows itself reads from the built executable (GetFileVersionInfoW).
                add_test(NAME ${target}.version
                    COMMAND version-info-probe $<TARGET_FILE_NAME:${target}> "${PROJECT_VERSION}"
                            "${description}"
                    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>)
                set_tests_properties(${target}.version PROPERTIES
                    ENVIRONMENT "TAVIK_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
                    RESOURCE_LOCK wine)
            endif()
        endforeach()
        # One executable per line, in the order of the list above: the zip's order.
        string(JOIN "\n" content ${files})
        file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/release/windows-executables.txt"
             CONTENT "${content}\n")
        add_custom_target(tavik-release-windows DEPENDS ${targets})
    else()
        # What `cpack -G DEB` may install: the programs and the compressed documentation.
        set(targets)
        foreach(target IN ITEMS tavik-updater tavik-cli tavik-package-docs)
            if(TARGET ${target})
                list(APPEND targets ${target})
            endif()
        endforeach()
        add_custom_target(tavik-release-linux DEPENDS ${targets})
    endif()
endfunction()
