# Fuzz target over the suite's trap port: arbitrary datagrams to the trap decoder.
zarvo_add_fuzzer(fuzz_trap_decoder
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trap_decoder_fuzz.cpp
  LIBS zarvo_suite
  SECONDS 30
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/trap_decoder)
