# zarvo_message_library(<target> SCHEMAS <file.xsd>...): runs tools/lmxgen.py on each schema at
# build time and builds the generated classes into <target>, a static library created here
# unless it exists already (then the classes join its own sources). Each schema yields
# <Cmd>_Request.h/.cpp, <Cmd>_Response.h/.cpp and their _sample.h fillers (tests only) in
# <binary dir>/<target>/, which is on the target's public include path: one folder per target,
# so a library sees only the generated headers of the message libraries it links.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

function(zarvo_message_library target)
  cmake_parse_arguments(G "" "" "SCHEMAS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(generator ${PROJECT_SOURCE_DIR}/tools/lmxgen.py)
  set(types ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/schemas/types.xsd)
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
      DEPENDS ${schema} ${types} ${generator}
      COMMENT "Generating the message classes of ${command}"
      VERBATIM)
    list(APPEND sources ${files})
  endforeach()
  if(NOT TARGET ${target})
    add_library(${target} STATIC)
    target_link_libraries(${target} PRIVATE zarvo_warnings)
  endif()
  target_sources(${target} PRIVATE ${sources})
  set_target_properties(${target} PROPERTIES AUTOMOC OFF)
  target_include_directories(${target} PUBLIC ${out})
  target_link_libraries(${target} PUBLIC zarvo_lmx)
endfunction()
