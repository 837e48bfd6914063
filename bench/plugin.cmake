# Text-form conversion of a large binary PostScript font, against the system's t1ascii.
if(TARGET zarvo_plugin)
  add_executable(bench_ps_font ${CMAKE_CURRENT_LIST_DIR}/ps_font_bench.cpp)
  target_link_libraries(bench_ps_font PRIVATE zarvo_plugin zarvo_warnings)
endif()
