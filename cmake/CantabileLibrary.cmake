# A library made of every .cpp file in the calling folder.
#   cantabile_folder_library(<target> [LIBS <targets...>])
function(cantabile_folder_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${target} STATIC ${sources} ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
endfunction()
