# Debian packages (`make package`): CPack DEB, one package per install component.
#   libtavi1     runtime      the shared library
#   libtavi-dev  development  headers, libtavi.so, libtavi.a, CMake package, pkg-config file
#   tavi-tools   tools        the `tavi` command (the sandbox included) and tavi(1)
#   python3-tavi python       the Python package `tavi` (for Debian's python3) and its examples
# Build them from a Release build configured with CMAKE_INSTALL_PREFIX=/usr (the Makefile's
# package target does): binaries are stripped and their debug symbols go to -dbgsym packages.

set(TAVI_DEB_RELEASE 1)
set(TAVI_DEB_VERSION ${PROJECT_VERSION}-${TAVI_DEB_RELEASE})
set(TAVI_DEB_MAINTAINER "tavi developers <packages@tavi-payments.net>")

# Each package's /usr/share/doc/<package>: the copyright file, the Debian changelog and the
# project's changelog (both gzip'd, as Debian wants). The man page likewise.
set(TAVI_PKG_DOC ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${TAVI_PKG_DOC})
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.Debian.in ${TAVI_PKG_DOC}/changelog.Debian @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavi.1.in ${TAVI_PKG_DOC}/tavi.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${TAVI_PKG_DOC}/changelog COPYONLY)
foreach(f changelog.Debian tavi.1 changelog)
  execute_process(COMMAND gzip -9nf ${f} WORKING_DIRECTORY ${TAVI_PKG_DOC} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${f}: ${rc}")
  endif()
endforeach()
install(FILES ${TAVI_PKG_DOC}/tavi.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

set(TAVI_DEB_PACKAGES libtavi1 libtavi-dev tavi-tools python3-tavi)
set(TAVI_DEB_COMPONENTS runtime development tools python)
foreach(pkg comp IN ZIP_LISTS TAVI_DEB_PACKAGES TAVI_DEB_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${TAVI_PKG_DOC}/changelog.Debian.gz
    ${TAVI_PKG_DOC}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavi)
set(CPACK_PACKAGE_VENDOR "tavi developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TAVI_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL ${TAVI_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-options.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip-static.cmake)
# libtavi1 and libtavi-dev Multi-Arch: same, and the -dbgsym packages mended (see the script).
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/post-build.cmake)
# The strip of the target architecture (a cross build's own, from its toolchain).
set(CPACK_TAVI_STRIP ${CMAKE_STRIP})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TAVI_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVI_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tavi-payments.net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Quick: the post-build script (post-build.cmake) unpacks every package and builds it again with
# xz, which is what ships.
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavi1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The ldconfig trigger; CPack's maintainer scripts call ldconfig as well (a lintian warning, and
# empty scripts of our own would be another).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client SDK for the tavi payment server - shared library
tavi seals payment requests (hybrid AES-256-CTR and RSA encryption) and drives
device registration, key retrieval, credential submission, OTP fetch and
validation, card validation and registration against the tavi payment server.
This package holds the shared library libtavi.so.1.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtavi-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
# One line: a control field may not continue onto another. The store's key backends load their
# libraries when chosen (not linked: neither libtavi.a nor libtavi.so needs them to link or to
# start), so the runtime package recommends them and shlibdeps does not see them.
set(TAVI_DEB_DEV_DEPENDS
  "libtavi1 (= ${TAVI_DEB_VERSION}), libssl-dev, libcurl4-openssl-dev | libcurl-dev, libsqlite3-dev, libsimdjson-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${TAVI_DEB_DEV_DEPENDS}")
set(TAVI_DEB_RUNTIME_RECOMMENDS "")
if(LIBSECRET_FOUND)
  list(APPEND TAVI_DEB_RUNTIME_RECOMMENDS "libsecret-1-0")
endif()
if(TSS2_FOUND)
  list(APPEND TAVI_DEB_RUNTIME_RECOMMENDS "libtss2-esys-3.0.2-0" "libtss2-mu0" "libtss2-rc0"
    "libtss2-tctildr0")
endif()
if(TAVI_DEB_RUNTIME_RECOMMENDS)
  string(JOIN ", " TAVI_DEB_RUNTIME_RECOMMENDS ${TAVI_DEB_RUNTIME_RECOMMENDS})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "${TAVI_DEB_RUNTIME_RECOMMENDS}")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "client SDK for the tavi payment server - development files
The C++20 headers (tavi/tavi.hpp) and the C interface (tavi/tavi.h), the static
library libtavi.a, the CMake package (find_package(tavi)) and the pkg-config
file (tavi.pc) for building programs that use the tavi payment SDK.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tavi-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "client SDK for the tavi payment server - command-line tool
The tavi command drives every operation of the tavi payment SDK from a shell,
printing one JSON line per result. It includes a sandbox payment server for
local testing and a demo that runs the whole payment flow against it.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tavi)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
# Over the C interface, which is stable across 1.x: any libtavi1 from the version that added the
# calls that return at once.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libtavi1 (>= 1.2.0), python3:any (>= 3.11~)")
# Byte-compiled at installation, the compiled files removed before removal (as dh_python3 does).
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/python3-tavi/postinst;${CMAKE_CURRENT_LIST_DIR}/python3-tavi/prerm)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "client SDK for the tavi payment server - Python 3 package
The Python package tavi: every operation of the tavi payment SDK as a blocking
method and as an asyncio coroutine that cancels in the library, typed results
and one exception tree. It uses the shared library libtavi.so.1 through its C
interface (ctypes).")

include(CPack)
