# What `cmake --install` puts beside the four programs (kit_deliverable
# installs those), and the Debian package of the build's architecture.
#
#   cmake --install <build> --prefix /usr     (DESTDIR=<dir> for a staged tree)
#   cpack --preset default                    amd64 package in build/
#   cpack --preset aarch64                    arm64 package in build-aarch64/
#
# systemd, udev and sysusers read their files from <prefix>/lib both for
# /usr and for /usr/local, so nothing here is installed outside the prefix.

set(KIT_PACKAGE_NAME factory-test-kit)
set(KIT_PACKAGE_MAINTAINER "Factory test kit maintainers <factory-test-kit@example.com>"
    CACHE STRING "Maintainer field of the Debian package (name <address>)")
set(KIT_PACKAGE_COPYRIGHT "2025 the factory test kit's authors" CACHE STRING "Copyright holders for the package's copyright file")
set(KIT_PACKAGE_LICENSE "proprietary" CACHE STRING "License short name for the package's copyright file")
set(KIT_PACKAGE_LICENSE_TEXT "All rights reserved." CACHE STRING "License text for the package's copyright file")

set(KIT_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(KIT_PACKAGING_OUT ${PROJECT_BINARY_DIR}/packaging)
set(KIT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${KIT_PACKAGE_NAME})

# Manual pages, one per program; the two echo programs share one template.
configure_file(${KIT_PACKAGING_DIR}/man/corvane.1 ${KIT_PACKAGING_OUT}/man/corvane.1 COPYONLY)
configure_file(${KIT_PACKAGING_DIR}/man/pylorn.1 ${KIT_PACKAGING_OUT}/man/pylorn.1 COPYONLY)
foreach(cases IN ITEMS 2 1)
  set(QUILLON_NAME quillon${cases})
  string(TOUPPER ${QUILLON_NAME} QUILLON_UPPER)
  if(cases EQUAL 2)
    set(QUILLON_PLAN "It runs test case 1 and then, if that passed, test case 2; each test case sends\n10 messages in step 1 and 10 in step 2, then reads and checks the echoes of\nstep 1 and of step 2.")
    set(QUILLON_OTHER ".BR quillon1 (1),\n.BR corvane (1)")
  else()
    set(QUILLON_PLAN "It runs one test case: it sends 12 messages, then reads and checks their\nechoes.")
    set(QUILLON_OTHER ".BR quillon2 (1),\n.BR corvane (1)")
  endif()
  configure_file(${KIT_PACKAGING_DIR}/man/quillon.1.in ${KIT_PACKAGING_OUT}/man/${QUILLON_NAME}.1 @ONLY)
endforeach()

configure_file(${KIT_PACKAGING_DIR}/changelog.in ${KIT_PACKAGING_OUT}/changelog @ONLY)
configure_file(${KIT_PACKAGING_DIR}/copyright.in ${KIT_PACKAGING_OUT}/copyright @ONLY)

# Debian wants manual pages and the changelog compressed with gzip -9n
# (no name or time stamp, so the package is reproducible).
find_program(KIT_GZIP gzip REQUIRED)
set(KIT_COMPRESSED "")
foreach(doc man/corvane.1 man/quillon2.1 man/quillon1.1 man/pylorn.1 changelog)
  set(out ${KIT_PACKAGING_OUT}/${doc}.gz)
  add_custom_command(OUTPUT ${out}
                     COMMAND sh -c "'${KIT_GZIP}' -9n -c '${KIT_PACKAGING_OUT}/${doc}' > '${out}'"
                     DEPENDS ${KIT_PACKAGING_OUT}/${doc}
                     VERBATIM)
  list(APPEND KIT_COMPRESSED ${out})
endforeach()
add_custom_target(kit_docs ALL DEPENDS ${KIT_COMPRESSED})

install(FILES ${KIT_PACKAGING_OUT}/man/corvane.1.gz ${KIT_PACKAGING_OUT}/man/quillon2.1.gz
              ${KIT_PACKAGING_OUT}/man/quillon1.1.gz ${KIT_PACKAGING_OUT}/man/pylorn.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KIT_PACKAGING_OUT}/copyright ${KIT_PACKAGING_OUT}/changelog.gz DESTINATION ${KIT_DOC_DIR})

# The relay follower's service: the unit names the program by its installed
# path, known only at install time (cpack installs under its own prefix).
install(CODE "
  set(KIT_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${KIT_INSTALL_BINDIR}\")
    set(KIT_INSTALL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/\${KIT_INSTALL_BINDIR}\")
  endif()
  configure_file(\"${KIT_PACKAGING_DIR}/pylorn.service.in\" \"${KIT_PACKAGING_OUT}/pylorn.service\" @ONLY)
")
install(FILES ${KIT_PACKAGING_OUT}/pylorn.service DESTINATION lib/systemd/system)
install(FILES ${KIT_PACKAGING_DIR}/60-pylorn-gpio.rules DESTINATION lib/udev/rules.d)
install(FILES ${KIT_PACKAGING_DIR}/pylorn.sysusers DESTINATION lib/sysusers.d RENAME pylorn.conf)

# Debian package: the architecture is the target's, not the build machine's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(KIT_DEB_ARCH arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
  set(KIT_DEB_ARCH amd64)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE KIT_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KIT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KIT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "factory tests run on the board itself")
# CPack puts the summary first and indents each line of the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "corvane tests the board's Ethernet loop, USB gadget link, USB stick, RS485
port and ADC and ends with one verdict line per test. quillon2 and quillon1
check the RPMsg channel to the companion core's echo firmware. pylorn makes
the four relays follow the four digital inputs and runs as a systemd service.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KIT_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KIT_PACKAGING_DIR}/debian/postinst ${KIT_PACKAGING_DIR}/debian/prerm ${KIT_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
