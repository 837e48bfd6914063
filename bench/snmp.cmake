# A walk of a 10,000-row table over loopback SNMPv2c (the suite's walk and its SNMP service)
# against net-snmp's snmpbulkwalk of the same printer's table. zarvo-suite comes from suite/.
if(TARGET zarvo-suite AND TARGET zarvo_test_fakes)
  add_executable(bench_snmp_walk ${CMAKE_CURRENT_LIST_DIR}/snmp_walk_bench.cpp)
  target_link_libraries(bench_snmp_walk PRIVATE zarvo_warnings zarvo_test_fakes zarvo_suite
                        Qt6::Core)
  target_compile_definitions(bench_snmp_walk PRIVATE ZARVO_SUITE_EXE="$<TARGET_FILE:zarvo-suite>")
  add_dependencies(bench_snmp_walk zarvo-suite)
  set_target_properties(bench_snmp_walk PROPERTIES AUTOMOC OFF)
endif()
