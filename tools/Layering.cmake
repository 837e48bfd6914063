# The project's floors, checked at configure time over the targets' link dependencies:
#
#   zarvo_forbid_links(TARGETS <target>... FORBIDDEN <target>...)
#
# fails the configuration (after naming every offence) when one of TARGETS links one of
# FORBIDDEN, directly or through any chain of libraries, PRIVATE links of static libraries
# included. A target that does not exist (a part not built in this configuration) is skipped;
# imported targets (Qt6::Core and the like) are not walked.

# Sets <out_var> to every target <target> links, directly or not, and <via_prefix>_<name> to
# the target that links <name> first on the way (for the chain in the message).
function(_zarvo_link_closure target out_var via_prefix)
  set(seen)
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue current)
    foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(links ${current} ${property})
      if(NOT links)
        continue()
      endif()
      foreach(link IN LISTS links)
        # A static library's PRIVATE links reach its users as $<LINK_ONLY:name>.
        string(REGEX REPLACE "^\\$<LINK_ONLY:([^>]*)>$" "\\1" link "${link}")
        if(link MATCHES "^\\$<" OR link MATCHES "::" OR NOT TARGET "${link}")
          continue()
        endif()
        if(link IN_LIST seen OR link STREQUAL target)
          continue()
        endif()
        list(APPEND seen ${link})
        list(APPEND queue ${link})
        set(${via_prefix}_${link} ${current} PARENT_SCOPE)
      endforeach()
    endforeach()
  endwhile()
  set(${out_var} ${seen} PARENT_SCOPE)
endfunction()

function(zarvo_forbid_links)
  cmake_parse_arguments(F "" "" "TARGETS;FORBIDDEN" ${ARGN})
  foreach(target IN LISTS F_TARGETS)
    if(NOT TARGET ${target})
      continue()
    endif()
    _zarvo_link_closure(${target} linked via)
    foreach(bad IN LISTS F_FORBIDDEN)
      if(NOT bad IN_LIST linked)
        continue()
      endif()
      set(chain ${bad})
      set(step ${bad})
      while(NOT step STREQUAL target)
        set(step ${via_${step}})
        list(PREPEND chain ${step})
      endwhile()
      list(JOIN chain " -> " chain)
      message(SEND_ERROR "Layering: ${target} links ${bad} (${chain}); it must not.")
    endforeach()
  endforeach()
endfunction()
