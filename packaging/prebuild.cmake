# Runs in cpack between the staging install and the packaging of it.
#
# The Debian files (copyright, changelog, lintian overrides) are for the .deb;
# an RPM carries the licence under /usr/share/licenses as %license instead.
if(CPACK_GENERATOR STREQUAL "RPM")
    file(GLOB_RECURSE copyrights "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/copyright")
    list(FILTER copyrights INCLUDE REGEX "/share/doc/[^/]+/copyright$")
    foreach(copyright IN LISTS copyrights)
        get_filename_component(doc "${copyright}" DIRECTORY)
        get_filename_component(package "${doc}" NAME)
        get_filename_component(share "${doc}/../.." ABSOLUTE)
        file(REMOVE "${copyright}" "${doc}/changelog.Debian.gz")
        file(GLOB left "${doc}/*")
        if(NOT left)
            file(REMOVE_RECURSE "${doc}")
        endif()
        file(REMOVE_RECURSE "${share}/lintian")
        file(MAKE_DIRECTORY "${share}/licenses/${package}")
        file(COPY_FILE "${CPACK_HWID_LICENSE}" "${share}/licenses/${package}/LICENSE")
    endforeach()
endif()

# Strip leaves the compiler's .comment note in ELF programs, of no use to a
# package's user.
if(CPACK_HWID_STRIP)
    file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
    list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
    foreach(program IN LISTS programs)
        execute_process(COMMAND "${CPACK_HWID_STRIP}" --remove-section=.comment "${program}"
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "cannot strip ${program}")
        endif()
    endforeach()
endif()

# Every staged file and folder gets the same time, so archives made from them
# are the same bytes from any build.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(
        COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot set the times of the staged files")
    endif()
endif()
