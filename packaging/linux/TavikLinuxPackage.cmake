# The Linux package: the program, the udev rule that lets the user at the seat open a unit, the
# desktop entry, the icon, the AppStream metadata, the manual page and the Debian documentation
# files. `cpack -G DEB` in the build folder makes tavik-updater_VERSION_ARCH.deb from what
# tavik_linux_package() installs.

# Debian 12 installs packaged udev rules here (not /usr/lib: the /usr merge moves them later).
set(TAVIK_UDEV_RULES_DIR "/lib/udev/rules.d" CACHE PATH
    "Folder the package installs its udev rule into")

set(TAVIK_PACKAGING_DIR "${CMAKE_CURRENT_LIST_DIR}")

# Installs the Linux program and its files and writes the CPack configuration. Called once the
# program's target exists (deferred to the end of the top-level CMakeLists.txt); without it (a
# build that has no Linux program) there is nothing to package. A function, so its variables stay
# its own.
function(tavik_linux_package)
    if(NOT TARGET tavik-updater OR NOT TARGET tavik-cli)
        message(STATUS "No Linux package: this build has no tavik-updater or tavik-cli program")
        return()
    endif()
    set(here "${TAVIK_PACKAGING_DIR}")
    set(binary_dir "${CMAKE_BINARY_DIR}/packaging/linux")

    include(GNUInstallDirs)

    # Folders made by the installation are world-readable, whatever the umask of the build. In
    # the package, cpack-directory-permissions.cmake makes that so (see there).
    set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

    # The changelog's first entry names the version and the maintainer; the package must agree
    # with it, so a version bump without a changelog entry stops the configuration here.
    set(changelog "${here}/changelog")
    file(STRINGS "${changelog}" changelog_lines)
    list(GET changelog_lines 0 changelog_head)
    if(NOT changelog_head MATCHES "^tavik-updater \\(([^)]+)\\) ")
        message(FATAL_ERROR "${changelog}: the first line is not a changelog entry")
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
        message(FATAL_ERROR "${changelog}: the latest entry is for version ${CMAKE_MATCH_1}, the "
                            "project is version ${PROJECT_VERSION}; add an entry for it")
    endif()
    set(changelog_maintainer "")
    foreach(line IN LISTS changelog_lines)
        if(line MATCHES "^ -- (.+ <[^>]+>)  ")
            set(changelog_maintainer "${CMAKE_MATCH_1}")
            break()
        endif()
    endforeach()
    if(NOT changelog_maintainer)
        message(FATAL_ERROR
            "${changelog}: the latest entry has no ' -- NAME <ADDRESS>  DATE' line")
    endif()

    # A package carrying the placeholder images (README: never for a real unit) says so in its
    # description and its copyright file, so nobody mistakes it for one to install beside a unit.
    set(has_placeholders FALSE)
    string(HEX "TAVIK PLACEHOLDER IMAGE" placeholder_mark)
    string(LENGTH "TAVIK PLACEHOLDER IMAGE" placeholder_mark_length)
    foreach(image IN LISTS TAVIK_FIRMWARE_FILES)
        # The filler of a placeholder starts right after the 64-byte image header.
        file(READ "${image}" image_start OFFSET 64 LIMIT ${placeholder_mark_length} HEX)
        if(image_start STREQUAL placeholder_mark)
            set(has_placeholders TRUE)
        endif()
    endforeach()

    # One line per argument; CPack indents the description as the control file wants it.
    string(JOIN "\n" description
        "Tavik Updater finds a Tavik USB audio interface in its update mode, reads"
        "the version of the firmware it holds and, on request, writes and verifies"
        "the matching firmware image, which the program carries inside, then"
        "restarts the unit. A udev rule lets the user logged in at the seat open the"
        "unit without root."
        ""
        "The program is under the MIT licence. The firmware images it carries are"
        "the manufacturer's and are not covered by that licence.")
    set(TAVIK_FIRMWARE_COPYRIGHT_COMMENT "")
    if(has_placeholders)
        string(JOIN "\n" description "${description}"
            ""
            "TEST BUILD: the firmware images inside are placeholders for testing with a"
            "simulated unit. They are not firmware: never use this build with a real unit.")
        # A field of the copyright file's firmware paragraph, continuation lines indented.
        string(JOIN "\n " TAVIK_FIRMWARE_COPYRIGHT_COMMENT
            "Comment: This build carries placeholder images instead, made by"
            "tools/make_placeholder_image.cpp for testing with a simulated unit. They"
            "are not firmware: never write them to a real unit.\n")
    endif()

    set(doc_dir "${binary_dir}/doc")
    configure_file("${here}/copyright.in" "${doc_dir}/copyright" @ONLY)
    configure_file("${here}/tavik-updater.1.in" "${doc_dir}/tavik-updater.1" @ONLY)
    configure_file("${here}/tavik-cli.1.in" "${doc_dir}/tavik-cli.1" @ONLY)

    # Documentation is installed compressed with gzip -9n: no name and no time stamp in the
    # header, so the same sources give the same package.
    find_program(TAVIK_GZIP gzip REQUIRED)
    set(compressed_docs)
    foreach(source IN ITEMS "${changelog}" "${doc_dir}/tavik-updater.1" "${doc_dir}/tavik-cli.1")
        get_filename_component(name "${source}" NAME)
        set(copy "${doc_dir}/gz/${name}")
        add_custom_command(
            OUTPUT "${copy}.gz"
            COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${copy}"
            COMMAND ${TAVIK_GZIP} -9nf "${copy}"
            DEPENDS "${source}"
            COMMENT "Compressing ${name}"
            VERBATIM)
        list(APPEND compressed_docs "${copy}.gz")
    endforeach()
    add_custom_target(tavik-package-docs ALL DEPENDS ${compressed_docs})

    # Symbols bound at start-up, so the relocation table can be read-only for the whole run.
    target_link_options(tavik-updater PRIVATE LINKER:-z,relro LINKER:-z,now)
    target_link_options(tavik-cli PRIVATE LINKER:-z,relro LINKER:-z,now)

    install(TARGETS tavik-updater tavik-cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    # A stripped install (cpack strips) also drops the compilers' identification notes, which
    # nothing reads at run time.
    install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(program tavik-updater tavik-cli)
            execute_process(
                COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()")
    install(FILES "${here}/70-tavik-updater.rules" DESTINATION "${TAVIK_UDEV_RULES_DIR}")
    install(FILES "${here}/tavik-updater.desktop"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
    install(FILES "${here}/tavik-updater.svg"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
    install(FILES "${here}/tavik-updater-48.png" RENAME tavik-updater.png
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps")
    install(FILES "${here}/tavik-updater.metainfo.xml"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
    install(FILES "${doc_dir}/gz/tavik-updater.1.gz" "${doc_dir}/gz/tavik-cli.1.gz"
            DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    # A package whose version has no Debian revision is native: its changelog is changelog.gz.
    install(FILES "${doc_dir}/copyright" "${doc_dir}/gz/changelog.gz"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/tavik-updater")

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME tavik-updater)
    set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
    set(CPACK_PACKAGE_VENDOR "The Tavik updater developers")
    set(CPACK_PACKAGE_CONTACT "${changelog_maintainer}")
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Tavik USB audio interfaces")
    set(CPACK_PACKAGE_DESCRIPTION "${description}")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${here}/postinst" "${here}/postrm")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/cpack-directory-permissions.cmake")
    include(CPack)

    # The package check (tests/package/check-package.sh) runs on the shipped build only: a
    # sanitized program is not what we ship.
    if(TAVIK_BUILD_TESTS AND NOT TAVIK_SANITIZER)
        add_test(NAME package.deb
            COMMAND bash "${PROJECT_SOURCE_DIR}/tests/package/check-package.sh"
                    "${CMAKE_CPACK_COMMAND}" "${CMAKE_BINARY_DIR}" "${PROJECT_SOURCE_DIR}"
                    "${binary_dir}/package-check")
        set_tests_properties(package.deb PROPERTIES TIMEOUT 600)
    endif()
endfunction()
