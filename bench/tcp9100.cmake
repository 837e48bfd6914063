# Print-port downloads: TCP9100Sender against a raw loopback socket copy of the same bytes, and
# 8 devices in parallel against one. The printers are the loopback fakes of the tests.
if(TARGET zarvo_plugin AND TARGET zarvo_test_fakes)
  add_executable(bench_tcp9100_sender ${CMAKE_CURRENT_LIST_DIR}/tcp9100_sender_bench.cpp)
  target_link_libraries(bench_tcp9100_sender PRIVATE zarvo_plugin zarvo_test_fakes zarvo_warnings)
endif()
