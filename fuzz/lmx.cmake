# Fuzz target over the XML runtime's reader: arbitrary bytes read as a small message and then
# walked event by event.
zarvo_add_fuzzer(fuzz_lmx_reader
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lmx_reader_fuzz.cpp
  LIBS zarvo_lmx
  SECONDS 60
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/lmx_reader)
