# CPack post-build script: what CPack 3.25 cannot say in a package, mended with dpkg-deb (each
# package unpacked, changed, and built again with its files and maintainer scripts as they were).
#
# Multi-Arch: libtavi1 and libtavi-dev (and libtavi1's debug symbols) are "Multi-Arch: same",
# so that the library and its development files of two architectures install side by side (an
# amd64 machine building for arm64 wants both). Every file either holds is the same for every
# architecture (headers, copyright, changelogs) or lies in the multiarch directory
# usr/lib/<triple> (debug symbols: under their build ID). CPack has no field for it.
#
# Debug symbol packages (-dbgsym): CPack lists their files in md5sums by the absolute path of its
# staging directory, which no installed file has, and gives them no documentation directory.
# md5sums is written again from the files, and usr/share/doc/<package>-dbgsym links to the
# documentation of the package whose symbols it holds (as debhelper makes it; the -dbgsym
# package depends on exactly that version).
#
# Installed-Size: CPack counts the files before it strips them (and moves their debug information
# to the -dbgsym package), which made libtavi1 claim twice its size. Every package's is counted
# again from its files as dpkg-gencontrol counts it: each file's size in KiB rounded up, and one
# KiB for each link and directory.
set(same_packages libtavi1 libtavi-dev libtavi1-dbgsym)
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(base "${file}" NAME)
  string(REGEX MATCH "^[^_]+" package "${base}")
  set(multiarch OFF)
  if(package IN_LIST same_packages)
    set(multiarch ON)
  endif()
  set(debug_symbols OFF)
  if(package MATCHES "^(.+)-dbgsym$")
    set(debug_symbols ON)
    set(parent "${CMAKE_MATCH_1}")
  endif()
  set(tree "${file}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${file}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${base}: ${rc}")
  endif()
  if(multiarch)
    file(READ "${tree}/DEBIAN/control" control)
    set(control "\n${control}")  # each field then starts after a newline, the first one too
    if(NOT control MATCHES "\nMulti-Arch:")
      string(REGEX REPLACE "(\nArchitecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control
        "${control}")
      if(NOT control MATCHES "\nMulti-Arch: same\n")
        message(FATAL_ERROR "${base}: no Architecture field to put Multi-Arch after")
      endif()
      string(SUBSTRING "${control}" 1 -1 control)
      file(WRITE "${tree}/DEBIAN/control" "${control}")
    endif()
  endif()
  if(debug_symbols)
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${parent}" "${tree}/usr/share/doc/${package}" SYMBOLIC)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
    list(SORT files)
    set(sums "")
    foreach(f IN LISTS files)
      if(NOT IS_SYMLINK "${tree}/${f}")
        file(MD5 "${tree}/${f}" sum)
        string(APPEND sums "${sum}  ${f}\n")
      endif()
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
  endif()
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE "${tree}" "${tree}/*")
  set(kib 0)
  foreach(f IN LISTS entries)
    if(f MATCHES "^DEBIAN(/|$)")
      continue()
    endif()
    if(IS_SYMLINK "${tree}/${f}" OR IS_DIRECTORY "${tree}/${f}")
      math(EXPR kib "${kib} + 1")
    else()
      file(SIZE "${tree}/${f}" bytes)
      math(EXPR kib "${kib} + (${bytes} + 1023) / 1024")
    endif()
  endforeach()
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${file}"
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --build ${base}: ${rc}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
