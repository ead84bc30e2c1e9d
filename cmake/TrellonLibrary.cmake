# trellon_library(<target> DEPENDS <libs...>)
# One static library per source folder, made of every .cpp in it (so new files
# need no edit here). Dependencies point one way: platform <- lib <- http <-
# results <- nettests <- plugins <- commands <- agent.
function(trellon_library target)
  cmake_parse_arguments(ARG "" "" "DEPENDS;EXCLUDE;EXTRA_SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  list(APPEND sources ${ARG_EXTRA_SOURCES})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${ARG_DEPENDS})
  endif()
endfunction()
