# CPack post-build script: libtavi1 and libtavi-dev (and libtavi1's debug symbols) are
# "Multi-Arch: same", so that the library and its development files of two architectures install
# side by side (an amd64 machine building for arm64 wants both). Every file either holds is the
# same for every architecture (headers, copyright, changelogs) or lies in the multiarch directory
# usr/lib/<triple> (debug symbols: under their build ID). CPack 3.25 has no field for it, so each
# package is unpacked, the field added after Architecture, and the package built again with
# dpkg-deb (its files and maintainer scripts as they were).
set(same_packages libtavi1 libtavi-dev libtavi1-dbgsym)
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(base "${file}" NAME)
  string(REGEX MATCH "^[^_]+" package "${base}")
  if(NOT package IN_LIST same_packages)
    continue()
  endif()
  set(tree "${file}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${file}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${base}: ${rc}")
  endif()
  file(READ "${tree}/DEBIAN/control" control)
  set(control "\n${control}")  # each field then starts after a newline, the first one too
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(\nArchitecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    if(NOT control MATCHES "\nMulti-Arch: same\n")
      message(FATAL_ERROR "${base}: no Architecture field to put Multi-Arch after")
    endif()
    string(SUBSTRING "${control}" 1 -1 control)
    file(WRITE "${tree}/DEBIAN/control" "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${file}"
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${base}: ${rc}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
