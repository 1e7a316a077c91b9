# One GoogleTest executable per test folder, registered with CTest and
# labelled by folder. Every .cpp file in the folder belongs to it.
#   cantabile_test_folder(<folder> LIBS <targets...>)
function(cantabile_test_folder folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  set(exe test_${folder})
  add_executable(${exe} ${sources})
  target_link_libraries(${exe} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(CANTABILE_RT_GUARD)
    # Marks the buffer switch for the real-time guard (cmake/RtGuard.cmake).
    target_link_options(${exe} PRIVATE
      "LINKER:--wrap=_ZN11ASIOBuffers20OnBufferSwitch16BitsEii"
      "LINKER:--wrap=_ZN11ASIOBuffers20OnBufferSwitch32BitsEii")
  endif()
  include(GoogleTest)
  gtest_discover_tests(${exe}
    PROPERTIES LABELS ${folder}
    DISCOVERY_TIMEOUT 60)
endfunction()
