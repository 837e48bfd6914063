# The XML runtime's reader against Xerces-C's DOM parser on the same 1 MB document.
if(TARGET zarvo_lmx)
  add_executable(bench_lmx_read ${CMAKE_CURRENT_LIST_DIR}/lmx_read_bench.cpp)
  target_link_libraries(bench_lmx_read PRIVATE zarvo_lmx zarvo_warnings XercesC::XercesC)
endif()
