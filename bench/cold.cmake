# Cold initialisation (cold.cpp): the two programs tavi_bench runs under callgrind, each with the
# probe that dumps the count at the first byte on the wire. tavi_cold links libtavi.so, as a host
# does; tavi_cold_floor is floor_client.c itself with the probe.
add_executable(tavi_cold cold.cpp)
target_compile_definitions(tavi_cold PRIVATE TAVI_COLD_WIRE TAVI_COLD_CHILD)
target_link_libraries(tavi_cold PRIVATE tavi_shared ${CMAKE_DL_LIBS})
add_executable(tavi_cold_floor floor_client.c cold.cpp)
target_compile_definitions(tavi_cold_floor PRIVATE TAVI_COLD_WIRE)
target_link_libraries(tavi_cold_floor PRIVATE CURL::libcurl OpenSSL::Crypto SQLite::SQLite3
  ${CMAKE_DL_LIBS})
set_target_properties(tavi_cold tavi_cold_floor PROPERTIES C_STANDARD 11 RUNTIME_OUTPUT_DIRECTORY
  ${PROJECT_BINARY_DIR})
target_sources(tavi_bench PRIVATE cold.cpp)
target_compile_definitions(tavi_bench PRIVATE TAVI_COLD_PATH="$<TARGET_FILE:tavi_cold>"
  TAVI_COLD_FLOOR_PATH="$<TARGET_FILE:tavi_cold_floor>")
add_dependencies(tavi_bench tavi_cold tavi_cold_floor)
