# simdjson for a cross build. Debian's libsimdjson-dev cannot be installed for two architectures
# at once (installing it for the target removes the machine's own), so a cross build uses the
# machine's header (one file, the same for every architecture) with the target's shared library
# from libsimdjson14:<arch>, which installs beside the machine's.
set(_tavi_simdjson_lib /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libsimdjson.so.14)
if(NOT EXISTS ${_tavi_simdjson_lib} OR NOT EXISTS /usr/include/simdjson.h)
  set(simdjson_FOUND FALSE)
  set(simdjson_NOT_FOUND_MESSAGE
    "needs /usr/include/simdjson.h (libsimdjson-dev) and ${_tavi_simdjson_lib} (libsimdjson14:<arch>)")
  return()
endif()
if(NOT TARGET simdjson::simdjson)
  add_library(simdjson::simdjson SHARED IMPORTED)
  set_target_properties(simdjson::simdjson PROPERTIES
    IMPORTED_LOCATION ${_tavi_simdjson_lib}
    IMPORTED_SONAME libsimdjson.so.14
    INTERFACE_INCLUDE_DIRECTORIES /usr/include)
endif()
set(simdjson_VERSION 3.0.1)
set(simdjson_FOUND TRUE)
