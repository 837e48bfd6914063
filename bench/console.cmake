# The console's operation list over a storage manager of 10,000 operations, against
# DSMGetOperationList sent directly to the same executable in the same run. The naming service
# is the loopback fake of the tests.
if(TARGET ZarvoPluginDSM AND TARGET zarvo_console AND TARGET zarvo_test_fakes)
  add_executable(bench_console_operations ${CMAKE_CURRENT_LIST_DIR}/console_operations_bench.cpp)
  target_link_libraries(bench_console_operations PRIVATE zarvo_warnings zarvo_console
                        zarvo_messages zarvo_test_fakes PkgConfig::CPPHTTPLIB)
  target_compile_definitions(bench_console_operations PRIVATE
    ZARVO_HOST_EXE="$<TARGET_FILE:ZarvoPluginDSM>")
  add_dependencies(bench_console_operations ZarvoPluginDSM)
  set_target_properties(bench_console_operations PROPERTIES AUTOMOC OFF)
endif()
