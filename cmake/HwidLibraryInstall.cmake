# Installation and package components of libhwid, included by the top-level
# CMakeLists.txt before include(CPack):
#   hwid          the two programs and their man pages (the default component)
#   libhwid1      the shared library (hwid.dll on Windows)
#   libhwid-dev   the header, the static library, the .so link or import
#                 library, pkg-config and CMake package files
#   python3-hwid  the Python module, ctypes over libhwid1. A package of its
#                 own rather than part of libhwid1: a shared library package
#                 carries only the library, so that C programs do not pull in
#                 Python and a later libhwid2 can sit beside it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
    set(HWID_PYTHON_INSTALL_DIR "Lib/site-packages" CACHE STRING
        "Where the Python module is installed, relative to the prefix")
else()
    # Debian's path for modules that every Python 3 version finds.
    set(HWID_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
        "Where the Python module is installed, relative to the prefix")
endif()
set(HWID_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/hwid")

install(TARGETS hwid_library EXPORT hwidTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libhwid1
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libhwid1
            NAMELINK_COMPONENT libhwid-dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libhwid-dev
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwid COMPONENT libhwid-dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS hwid_library_static EXPORT hwidTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libhwid-dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# find_package(hwid): hwid::hwid (the shared library) and hwid::hwid_static.
install(EXPORT hwidTargets NAMESPACE hwid:: DESTINATION ${HWID_CMAKE_INSTALL_DIR}
        COMPONENT libhwid-dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hwidConfig.cmake.in
    ${PROJECT_BINARY_DIR}/hwidConfig.cmake INSTALL_DESTINATION ${HWID_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hwidConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/hwidConfig.cmake ${PROJECT_BINARY_DIR}/hwidConfigVersion.cmake
        DESTINATION ${HWID_CMAKE_INSTALL_DIR} COMPONENT libhwid-dev)

# pkg-config, relocatable: the prefix is found from the file's own place.
file(RELATIVE_PATH HWID_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/hwid.pc.in ${PROJECT_BINARY_DIR}/hwid.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/hwid.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT libhwid-dev)

install(FILES ${PROJECT_SOURCE_DIR}/python/hwid/__init__.py
        DESTINATION ${HWID_PYTHON_INSTALL_DIR}/hwid COMPONENT python3-hwid)

hwid_package(libhwid1 COMPONENT libhwid1 SECTION libs
    DEB_DEPENDS "libc6 (>= 2.34)"
    SUMMARY "machine identifier library"
    DESCRIPTION "libhwid gives a program the same 64-digit machine identifier that hwid prints, and what went into it, through a small stable C interface, for licence checks and inventory agents that need the identifier inside their own process. The identifier depends only on the processor and on the serial number of the disk under the root file system. The library links its C++ run-time in and needs only the C library.")
hwid_package(libhwid-dev COMPONENT libhwid-dev SECTION libdevel
    DEB_DEPENDS "libhwid1 (= ${PROJECT_VERSION}-${HWID_PACKAGE_RELEASE})"
    RPM_REQUIRES "libhwid1 = ${PROJECT_VERSION}-${HWID_PACKAGE_RELEASE}"
    SUMMARY "machine identifier library - development files"
    DESCRIPTION "The header, the static library, the shared library link and the pkg-config and CMake package files of libhwid, which gives a program the same machine identifier that hwid prints and what went into it.")
hwid_package(python3-hwid COMPONENT python3-hwid SECTION python
    DEB_DEPENDS "libhwid1 (= ${PROJECT_VERSION}-${HWID_PACKAGE_RELEASE}), python3"
    RPM_REQUIRES "libhwid1 = ${PROJECT_VERSION}-${HWID_PACKAGE_RELEASE}, python3"
    SUMMARY "machine identifier library - Python module"
    DESCRIPTION "hwid.identifier() and hwid.facts() give a Python program the same machine identifier that hwid prints and what went into it, through ctypes over libhwid.")
if(NOT WIN32)
    set(CPACK_DEBIAN_PYTHON3-HWID_PACKAGE_ARCHITECTURE all)
    set(CPACK_RPM_python3-hwid_PACKAGE_ARCHITECTURE noarch)
    # The shared library's shlibs entry, and ldconfig through dpkg's trigger
    # after it comes and goes (CPack's own would call ldconfig from scripts).
    set(control "${PROJECT_BINARY_DIR}/packaging/libhwid1/control")
    file(WRITE "${control}/shlibs" "libhwid 1 libhwid1 (>= ${PROJECT_VERSION})\n")
    file(WRITE "${control}/triggers" "activate-noawait ldconfig\n")
    set(CPACK_DEBIAN_LIBHWID1_PACKAGE_CONTROL_EXTRA "${control}/shlibs;${control}/triggers")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
