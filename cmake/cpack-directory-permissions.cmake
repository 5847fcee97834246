# A CPack pre-build script (CPACK_PRE_BUILD_SCRIPTS): every folder of the staged package becomes
# rwxr-xr-x before the archive is made. CPack creates the folders it stages with mkdir, which the
# umask of the caller narrows (umask 077 gave a package whose /usr and /lib were rwx------), and
# CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS does not undo that. The files keep the modes their
# install() rules gave them.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
    message(FATAL_ERROR "No staged package at '${CPACK_TEMPORARY_DIRECTORY}'")
endif()
file(CHMOD_RECURSE "${CPACK_TEMPORARY_DIRECTORY}"
    DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
