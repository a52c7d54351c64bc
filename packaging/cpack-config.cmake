# Read by cpack before each generator runs: package files carry the commit's
# time, not the build's, unless the caller set one.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT CPACK_HWID_SOURCE_DATE_EPOCH STREQUAL "")
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_HWID_SOURCE_DATE_EPOCH}")
endif()

# Each .deb's description starts with its own summary (hwid_package's SUMMARY),
# so CPack must not put the project's summary in front of it.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
endif()
