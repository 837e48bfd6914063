# Fuzz target over the generated message classes: every request and response class reads the
# same bytes; what one accepts must write and read back unchanged.
zarvo_add_fuzzer(fuzz_commands
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_fuzz.cpp
  LIBS zarvo_messages zarvo_framework_messages
  SECONDS 30
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/commands)
