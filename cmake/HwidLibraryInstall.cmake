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

if(NOT WIN32)
    set(CPACK_COMPONENTS_ALL hwid libhwid1 libhwid-dev python3-hwid)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_HWID_PACKAGE_NAME hwid)
    set(CPACK_DEBIAN_LIBHWID1_PACKAGE_NAME libhwid1)
    set(CPACK_DEBIAN_LIBHWID-DEV_PACKAGE_NAME libhwid-dev)
    set(CPACK_DEBIAN_PYTHON3-HWID_PACKAGE_NAME python3-hwid)
    set(CPACK_COMPONENT_HWID_DESCRIPTION "${PROJECT_DESCRIPTION}")
    set(CPACK_COMPONENT_LIBHWID1_DESCRIPTION
        "Machine identifier library\nThe identifier that hwid prints, and what went into it, through a small C interface.")
    set(CPACK_COMPONENT_LIBHWID-DEV_DESCRIPTION
        "Machine identifier library: development files\nThe header, the static library, and the pkg-config and CMake package files of libhwid.")
    set(CPACK_COMPONENT_PYTHON3-HWID_DESCRIPTION
        "Machine identifier library: Python module\nhwid.identifier() and hwid.facts() through ctypes over libhwid.")
    set(CPACK_DEBIAN_LIBHWID1_PACKAGE_SECTION libs)
    set(CPACK_DEBIAN_LIBHWID-DEV_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_PYTHON3-HWID_PACKAGE_SECTION python)
    # The library links its C++ run-time in and needs only the C library.
    set(CPACK_DEBIAN_LIBHWID1_PACKAGE_DEPENDS "libc6 (>= 2.34)")
    set(CPACK_DEBIAN_LIBHWID-DEV_PACKAGE_DEPENDS "libhwid1 (= ${PROJECT_VERSION})")
    set(CPACK_DEBIAN_PYTHON3-HWID_PACKAGE_DEPENDS "libhwid1 (= ${PROJECT_VERSION}), python3")
    set(CPACK_DEBIAN_PYTHON3-HWID_PACKAGE_ARCHITECTURE all)
    # ldconfig after the shared library comes and goes.
    set(CPACK_DEBIAN_LIBHWID1_PACKAGE_GENERATE_SHLIBS ON)
endif()
