# The application manifest (app/morphex.manifest) embedded in a program:
#     morphex_manifest(target)
# A program holds one manifest.  Where the toolchain links a default one of
# its own (MinGW's default-manifest.o), that object is replaced by an empty
# one for the programs that embed this manifest.
set(MORPHEX_MANIFEST_RC ${CMAKE_SOURCE_DIR}/app/manifest.rc)
set_source_files_properties(${MORPHEX_MANIFEST_RC} PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/app/morphex.manifest)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
                OUTPUT_VARIABLE MORPHEX_DEFAULT_MANIFEST OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(MORPHEX_NO_DEFAULT_MANIFEST_DIR "")
if(IS_ABSOLUTE "${MORPHEX_DEFAULT_MANIFEST}" AND EXISTS "${MORPHEX_DEFAULT_MANIFEST}")
    set(MORPHEX_NO_DEFAULT_MANIFEST_DIR ${CMAKE_BINARY_DIR}/no-default-manifest)
    file(MAKE_DIRECTORY ${MORPHEX_NO_DEFAULT_MANIFEST_DIR})
    file(WRITE ${MORPHEX_NO_DEFAULT_MANIFEST_DIR}/empty.c "typedef int morphex_no_default_manifest;\n")
    execute_process(COMMAND ${CMAKE_C_COMPILER} -c ${MORPHEX_NO_DEFAULT_MANIFEST_DIR}/empty.c
                            -o ${MORPHEX_NO_DEFAULT_MANIFEST_DIR}/default-manifest.o
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot build the object that replaces ${MORPHEX_DEFAULT_MANIFEST}")
    endif()
endif()

function(morphex_manifest target)
    target_sources(${target} PRIVATE ${MORPHEX_MANIFEST_RC})
    if(MORPHEX_NO_DEFAULT_MANIFEST_DIR)
        # gcc looks for its start files under -B directories first.
        target_link_options(${target} PRIVATE -B${MORPHEX_NO_DEFAULT_MANIFEST_DIR}/)
    endif()
endfunction()
