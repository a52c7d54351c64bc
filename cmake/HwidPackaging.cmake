# Installation and packages: a .deb and an .rpm per install component
# natively, one .zip from the windows preset. Each package is an install
# component registered with hwid_package(); the top CMakeLists.txt includes
# this file after the targets exist and then CPack. Call hwid_package() in the
# top directory's scope (here, or in a file the top CMakeLists.txt includes
# between this one and CPack).
include(GNUInstallDirs)

set(HWID_MAINTAINER "hwid developers <hwid-developers@users.noreply.example.org>")
set(HWID_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
# The packaging's own revision of a version: 0.1.0-1.
set(HWID_PACKAGE_RELEASE 1)

# The licence text as the indented body of a machine-readable copyright file:
# the paragraphs from "Permission" on, each line indented, blank lines as " .".
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" hwid_license)
string(FIND "${hwid_license}" "Permission" hwid_license_start)
string(SUBSTRING "${hwid_license}" ${hwid_license_start} -1 hwid_license)
string(STRIP "${hwid_license}" hwid_license)
string(REPLACE "\n\n" "\n.\n" hwid_license "${hwid_license}")
string(REPLACE "\n" "\n " HWID_LICENSE_BODY " ${hwid_license}")
configure_file("${HWID_PACKAGING_DIR}/copyright.in" "${PROJECT_BINARY_DIR}/packaging/copyright" @ONLY)

# hwid_gzip(IN OUT): gzip -9n, so the result holds no name or time.
function(hwid_gzip in out)
    execute_process(COMMAND gzip -9nc "${in}" OUTPUT_FILE "${out}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip ${in}: ${result}")
    endif()
endfunction()

# hwid_package(NAME COMPONENT component SUMMARY text DESCRIPTION text
#              [SECTION section] [DEB_DEPENDS deps] [RPM_REQUIRES deps])
# Makes install component COMPONENT the package NAME: its copyright file
# (with the licence), Debian changelog and, when packaging/NAME.lintian-overrides
# exists, lintian overrides; the RPM gets the licence as %license instead.
# DESCRIPTION is the extended description, one paragraph without semicolons
# (CMake would split it there).
function(hwid_package name)
    cmake_parse_arguments(ARG "" "COMPONENT;SUMMARY;DESCRIPTION;SECTION;DEB_DEPENDS;RPM_REQUIRES"
                          "" ${ARGN})
    if(NOT ARG_SECTION)
        set(ARG_SECTION utils)
    endif()
    string(TOUPPER "${ARG_COMPONENT}" upper)
    set(out "${PROJECT_BINARY_DIR}/packaging/${name}")
    set(doc "${CMAKE_INSTALL_DATAROOTDIR}/doc/${name}")

    # The Windows zip holds every package's files and the licence once.
    if(NOT WIN32)
        set(HWID_PKG_NAME ${name})
        configure_file("${HWID_PACKAGING_DIR}/changelog.Debian.in" "${out}/changelog.Debian" @ONLY)
        hwid_gzip("${out}/changelog.Debian" "${out}/changelog.Debian.gz")
        install(FILES "${PROJECT_BINARY_DIR}/packaging/copyright" "${out}/changelog.Debian.gz"
                DESTINATION "${doc}" COMPONENT ${ARG_COMPONENT})
        set(overrides "${HWID_PACKAGING_DIR}/${name}.lintian-overrides")
        if(EXISTS "${overrides}")
            configure_file("${overrides}" "${out}/lintian/${name}" COPYONLY)
            install(FILES "${out}/lintian/${name}"
                    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides"
                    COMPONENT ${ARG_COMPONENT})
        endif()
    endif()

    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_FILE_NAME DEB-DEFAULT PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${ARG_SECTION} PARENT_SCOPE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${ARG_DEB_DEPENDS}" PARENT_SCOPE)
    # Description lines of at most 79 characters.
    string(REGEX MATCHALL "[^ ]+" words "${ARG_DESCRIPTION}")
    set(text "")
    set(line "")
    foreach(word IN LISTS words)
        string(LENGTH "${line} ${word}" length)
        if(line STREQUAL "")
            set(line "${word}")
        elseif(length GREATER 79)
            string(APPEND text "${line}\n")
            set(line "${word}")
        else()
            string(APPEND line " ${word}")
        endif()
    endforeach()
    string(APPEND text "${line}")
    set(CPACK_DEBIAN_${upper}_DESCRIPTION "${ARG_SUMMARY}\n${text}" PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_PACKAGE_NAME ${name} PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_FILE_NAME RPM-DEFAULT PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_PACKAGE_SUMMARY "${ARG_SUMMARY}" PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_PACKAGE_DESCRIPTION "${text}" PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_PACKAGE_REQUIRES "${ARG_RPM_REQUIRES}" PARENT_SCOPE)
    set(CPACK_RPM_${ARG_COMPONENT}_USER_FILELIST
        "%license /usr/${CMAKE_INSTALL_DATAROOTDIR}/licenses/${name}/LICENSE" PARENT_SCOPE)
    set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${ARG_COMPONENT} PARENT_SCOPE)
endfunction()

# The programs and their manuals.
install(TARGETS hwid hwid_explain RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT hwid)
foreach(page hwid hwid-explain)
    configure_file(man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
    if(NOT WIN32)
        hwid_gzip(${PROJECT_BINARY_DIR}/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
        install(FILES ${PROJECT_BINARY_DIR}/man/${page}.1.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT hwid)
    endif()
endforeach()
if(NOT WIN32)
    # An Ansible local fact for fleet inventories: hwid-explain --json.
    install(PROGRAMS share/hwid.fact DESTINATION ${CMAKE_INSTALL_DATADIR}/hwid COMPONENT hwid)
endif()

hwid_package(hwid COMPONENT hwid
    SUMMARY "prints a stable identifier of this machine"
    DESCRIPTION "hwid prints 64 hexadecimal digits that stay the same on every run on the same machine, for licence servers, asset inventories and support scripts that need to tell machines apart. The identifier depends only on the processor (CPUID leaves 0 to 2) and on the serial number of the disk under the root file system. A machine whose disk gives no serial number shares its identifier with every machine with the same processor model. hwid-explain shows what went into the identifier and compares it with an earlier run. Both programs are linked statically and need no other package.")

if(WIN32)
    # Product name, version, description and copyright in each program's
    # file properties.
    foreach(program hwid hwid_explain)
        get_target_property(HWID_RC_NAME ${program} OUTPUT_NAME)
        if(NOT HWID_RC_NAME)
            set(HWID_RC_NAME ${program})
        endif()
        if(program STREQUAL "hwid")
            set(HWID_RC_DESCRIPTION "Prints a stable identifier of this machine")
        else()
            set(HWID_RC_DESCRIPTION "Tells what went into this machine's identifier")
        endif()
        configure_file(${HWID_PACKAGING_DIR}/version.rc.in
                       ${PROJECT_BINARY_DIR}/packaging/${HWID_RC_NAME}.rc @ONLY)
        target_sources(${program} PRIVATE ${PROJECT_BINARY_DIR}/packaging/${HWID_RC_NAME}.rc)
    endforeach()

    # A Windows user gets a plain-text read-me and the licence with CRLF line
    # ends beside the programs.
    configure_file(${HWID_PACKAGING_DIR}/README.txt.in ${PROJECT_BINARY_DIR}/packaging/README.txt
                   @ONLY NEWLINE_STYLE CRLF)
    configure_file(LICENSE ${PROJECT_BINARY_DIR}/packaging/LICENSE.txt NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt
                  ${PROJECT_BINARY_DIR}/packaging/LICENSE.txt
            DESTINATION . COMPONENT hwid)
endif()

set(CPACK_PACKAGE_NAME hwid)
set(CPACK_PACKAGE_VENDOR "hwid developers")
set(CPACK_PACKAGE_CONTACT "${HWID_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
# Debug information stays in the build tree; the packages get stripped copies.
set(CPACK_STRIP_FILES ON)
# Package files carry the commit's time, not the build's.
set(CPACK_PROJECT_CONFIG_FILE "${HWID_PACKAGING_DIR}/cpack-config.cmake")
set(CPACK_PRE_BUILD_SCRIPTS "${HWID_PACKAGING_DIR}/prebuild.cmake")
set(CPACK_HWID_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_HWID_SOURCE_DATE_EPOCH "${HWID_SOURCE_DATE_EPOCH}")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
else()
    set(CPACK_GENERATOR "DEB;RPM")
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${HWID_PACKAGE_RELEASE})
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_RPM_COMPONENT_INSTALL ON)
    set(CPACK_RPM_PACKAGE_RELEASE ${HWID_PACKAGE_RELEASE})
    set(CPACK_RPM_PACKAGE_LICENSE MIT)
    set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
    # Folders the system owns.
    list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/licenses /usr/share/man
         /usr/share/man/man1 /usr/share/man/man3 /usr/share/man/man7)
    # The same files as the .deb: no links from rpm's build-id folder.
    set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")
    set(CPACK_HWID_STRIP "${CMAKE_STRIP}")
endif()
