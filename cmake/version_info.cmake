# The version resource of one of the product's binaries, from the product's
# one version number (morphex_version.h, generated from the top-level
# CMakeLists.txt):
#     morphex_version_info(target "description" "original file name")
# The file properties that Windows shows then name the product, its version
# and what the file is.
function(morphex_version_info target description original_name)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(MORPHEX_VI_FILE_TYPE VFT_APP)
    else()
        set(MORPHEX_VI_FILE_TYPE VFT_DLL)
    endif()
    set(MORPHEX_VI_DESCRIPTION "${description}")
    set(MORPHEX_VI_ORIGINAL_NAME "${original_name}")
    get_filename_component(MORPHEX_VI_INTERNAL_NAME "${original_name}" NAME_WE)
    set(rc ${CMAKE_BINARY_DIR}/generated/version_info/${target}.rc)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/generated/morphex_version.h)
    target_sources(${target} PRIVATE ${rc})
endfunction()
