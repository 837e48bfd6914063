# Fuzz targets over the byte formats of the plug-in: inspection of uploaded files and the
# text-form conversion of binary PostScript fonts.
zarvo_add_fuzzer(fuzz_pcl_inspect
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pcl_content_fuzz.cpp
  LIBS zarvo_plugin
  SECONDS 30
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/pcl_inspect)
zarvo_add_fuzzer(fuzz_ps_font
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ps_font_fuzz.cpp
  LIBS zarvo_plugin
  SECONDS 30
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/ps_font)
