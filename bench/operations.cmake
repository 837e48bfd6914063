# The operation list of the storage manager with 10,000 finished operations while 8 jobs run,
# against writing the same answer from a prepared message; cancel and list while a retry waits.
if(TARGET zarvo_plugin AND TARGET zarvo_test_fakes)
  add_executable(bench_dsm_operations ${CMAKE_CURRENT_LIST_DIR}/dsm_operations_bench.cpp)
  target_link_libraries(bench_dsm_operations PRIVATE zarvo_plugin zarvo_test_fakes zarvo_warnings)
endif()
