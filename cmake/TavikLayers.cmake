# The layers of the program as library targets whose headers only their dependents see.
#
# tavik_layer(TARGET FOLDER...) gives TARGET a folder of its own in the build tree holding one
# link per FOLDER (a path relative to the source root; a leading "src/" is dropped from the
# link's name), and puts that folder on TARGET's include path, PUBLIC (INTERFACE for a
# header-only target). A header is thus reached as "engine/Updater.hpp" only by the engine and
# by what links it: a lower layer that includes it fails to compile ("No such file"). No target
# puts the whole of src/ on its include path.
function(tavik_layer target)
    set(root "${CMAKE_BINARY_DIR}/layers/${target}")
    foreach(folder IN LISTS ARGN)
        string(REGEX REPLACE "^src/" "" name "${folder}")
        get_filename_component(parent "${root}/${name}" DIRECTORY)
        file(MAKE_DIRECTORY "${parent}")
        if(NOT IS_SYMLINK "${root}/${name}")
            file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${root}/${name}" SYMBOLIC)
        endif()
    endforeach()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE "${root}")
    else()
        target_include_directories(${target} PUBLIC "${root}")
    endif()
endfunction()

# tavik_layer_probe(NAME TARGET HEADER BUILDS|FAILS): a CTest entry that compiles one file
# including HEADER with TARGET's include path (it links TARGET) and expects it to build, or to
# fail for that header being out of sight. The probes build only when their test runs.
function(tavik_layer_probe name target header expectation)
    set(source "${CMAKE_CURRENT_BINARY_DIR}/layer-probes/${name}.cpp")
    file(CONFIGURE OUTPUT "${source}" CONTENT "#include \"${header}\"\n")
    add_library(layer-probe-${name} OBJECT EXCLUDE_FROM_ALL "${source}")
    target_link_libraries(layer-probe-${name} PRIVATE ${target})
    add_test(NAME layers.${name}
        COMMAND ${CMAKE_COMMAND} --build "${CMAKE_BINARY_DIR}" --target layer-probe-${name})
    if(expectation STREQUAL "FAILS")
        string(REPLACE "." "\\." pattern "${header}")
        set_tests_properties(layers.${name} PROPERTIES
            PASS_REGULAR_EXPRESSION "${pattern}: No such file or directory")
    endif()
endfunction()
