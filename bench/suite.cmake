# One copy of a 1 MiB font from one simulated printer to 32 others, end to end through
# zarvo-suite and the storage manager, against 32 raw loopback copies of the same bytes.
# zarvo-suite comes from suite/.
if(TARGET ZarvoPluginDSM AND TARGET zarvo_test_fakes)
  add_executable(bench_suite_fleet_copy ${CMAKE_CURRENT_LIST_DIR}/suite_fleet_copy_bench.cpp)
  target_link_libraries(bench_suite_fleet_copy PRIVATE zarvo_warnings zarvo_test_fakes Qt6::Core
                        Threads::Threads)
  target_compile_definitions(bench_suite_fleet_copy PRIVATE
    ZARVO_SUITE_EXE="$<TARGET_FILE:zarvo-suite>" ZARVO_HOST_EXE="$<TARGET_FILE:ZarvoPluginDSM>")
  add_dependencies(bench_suite_fleet_copy zarvo-suite ZarvoPluginDSM)
  set_target_properties(bench_suite_fleet_copy PROPERTIES AUTOMOC OFF)
endif()
