# zarvo_message_library(<target> SCHEMAS <file.xsd>...): runs tools/lmxgen.py on each schema at
# build time and builds the generated classes into a static library. Each schema yields
# <Cmd>_Request.h/.cpp, <Cmd>_Response.h/.cpp and their _sample.h fillers (tests only) in the
# target's binary directory, which is on the target's public include path.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(zarvo_message_library target)
  cmake_parse_arguments(G "" "" "SCHEMAS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(generator ${PROJECT_SOURCE_DIR}/tools/lmxgen.py)
  set(sources)
  foreach(schema ${G_SCHEMAS})
    get_filename_component(command ${schema} NAME_WE)
    set(files)
    foreach(direction Request Response)
      list(APPEND files ${out}/${command}_${direction}.h ${out}/${command}_${direction}.cpp
                        ${out}/${command}_${direction}_sample.h)
    endforeach()
    add_custom_command(OUTPUT ${files}
      COMMAND Python3::Interpreter ${generator} --samples --out ${out} ${schema}
      DEPENDS ${schema} ${PROJECT_SOURCE_DIR}/schemas/types.xsd ${generator}
      COMMENT "Generating the message classes of ${command}"
      VERBATIM)
    list(APPEND sources ${files})
  endforeach()
  add_library(${target} STATIC ${sources})
  set_target_properties(${target} PROPERTIES AUTOMOC OFF)
  target_include_directories(${target} PUBLIC ${out})
  target_link_libraries(${target} PUBLIC zarvo_lmx PRIVATE zarvo_warnings)
endfunction()
