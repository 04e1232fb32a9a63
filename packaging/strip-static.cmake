# CPack pre-build script: the static library in libtavi-dev keeps its symbols but not its debug
# information (as Debian strips static libraries), like the stripped shared library beside it.
file(GLOB_RECURSE archives "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.a")
foreach(a IN LISTS archives)
  set(strip "${CPACK_TAVI_STRIP}")
  if(NOT strip)
    set(strip strip)
  endif()
  execute_process(COMMAND "${strip}" --strip-debug --enable-deterministic-archives "${a}"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip --strip-debug ${a} failed")
  endif()
endforeach()
