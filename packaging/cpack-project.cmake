# Read by cpack: a package must install where the tree was configured to install, because
# farend's fallback path to the tester and its manual page name the configured bindir.
if(NOT CPACK_LOOPTEST_CONFIGURED_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
    message(FATAL_ERROR "This build directory installs to ${CPACK_LOOPTEST_CONFIGURED_PREFIX}; "
            "packages install to ${CPACK_PACKAGING_INSTALL_PREFIX}. Configure a build directory "
            "with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX} for cpack "
            "(packaging/build-debs.sh does).")
endif()
