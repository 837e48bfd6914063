# File lists of the storage manager (server store and device table) answered over HTTP by the
# executable, against reading the same files and DOM-parsing the same SNMP answer. The SNMP,
# device management and naming services are the loopback fakes of the tests.
if(TARGET ZarvoPluginDSM AND TARGET zarvo_test_fakes)
  add_executable(bench_dsm_file_list ${CMAKE_CURRENT_LIST_DIR}/dsm_file_list_bench.cpp)
  target_link_libraries(bench_dsm_file_list PRIVATE zarvo_warnings zarvo_test_fakes zarvo_plugin
                        XercesC::XercesC Qt6::Core)
  target_compile_definitions(bench_dsm_file_list PRIVATE
    ZARVO_HOST_EXE="$<TARGET_FILE:ZarvoPluginDSM>")
  add_dependencies(bench_dsm_file_list ZarvoPluginDSM)
  set_target_properties(bench_dsm_file_list PROPERTIES AUTOMOC OFF)
endif()
