# SPDX-License-Identifier: Apache-2.0
# The Debian package, built with `cpack -G DEB` in the build folder. It holds
# what `cmake --install` puts on the system: the filter in the CUPS filter
# folder, the PPDs under /usr/share/ppd/mirelo and the manual page.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirelops)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "mirelops")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS filter and PPDs for the Mirelo PostScript laser printers")
set(CPACK_PACKAGE_DESCRIPTION
    "mirelops is the last filter of a CUPS queue for a Mirelo printer: it checks the model, tags finch jobs with PJL, makes their collated copies, converts Heron jobs from PDF, and ends a cancelled job at a page boundary. The package holds the filter, a PPD for every supported model and the manual page.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "mirelops maintainers <root@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# What the filter runs or loads: libcups and libusb, qpdf to turn the back
# sides of Heron jobs, and the pdftops filter of cups-filters. The C and C++
# run-time libraries are added by dpkg-shlibdeps when it is there.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcups2, libusb-1.0-0, qpdf, cups-filters")
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
