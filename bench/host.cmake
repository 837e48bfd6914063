# Connection-per-request load on the host executable against a minimal reference server.
# The programs it starts are passed in by path; they live in tools/ (added after bench/, which
# generator expressions and dependencies on targets allow).
if(TARGET ZarvoPluginDSM AND EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_executable(bench_host_load ${CMAKE_CURRENT_LIST_DIR}/host_load_bench.cpp)
  target_link_libraries(bench_host_load PRIVATE zarvo_warnings)
  target_compile_definitions(bench_host_load PRIVATE
    ZARVO_HOST_EXE="$<TARGET_FILE:ZarvoPluginDSM>"
    ZARVO_LOADGEN="$<TARGET_FILE:loadgen>"
    ZARVO_REFSERVER="$<TARGET_FILE:refserver>")
  add_dependencies(bench_host_load ZarvoPluginDSM loadgen refserver)
  set_target_properties(bench_host_load PROPERTIES AUTOMOC OFF)
endif()

# A short smoke run in the test suite: every request of both servers must be answered whole;
# the rates are not judged there, since a busy machine moves them.
if(TARGET bench_host_load AND ZARVO_TESTS)
  add_test(NAME host_load_smoke
           COMMAND bench_host_load --seconds 0.3 --rounds 1 --concurrency 1,8 --no-target 1)
  set_tests_properties(host_load_smoke PROPERTIES TIMEOUT 180)
endif()
