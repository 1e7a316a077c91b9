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
  # A skipped test is reported as skipped, not as passed. Some tests need the
  # machine to themselves and run alone: those that kill a JACK server (two
  # private servers killed in the same instant have failed both tests, once
  # in many runs) and those that compare a JACK server's output frame by frame
  # (a client starved by the other tests misses cycles and loses periods).
  set(alone "JackServerLoss.*:*ALostJackServer*:*ServerDeathMidPlay*:*AJackServerMissingOrLost*")
  string(APPEND alone ":EndToEndJack.*:JackDriverTest.PatternArrives*")
  gtest_discover_tests(${exe} TEST_FILTER "-${alone}"
    PROPERTIES LABELS ${folder} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
  gtest_discover_tests(${exe} TEST_FILTER "${alone}"
    PROPERTIES LABELS ${folder} SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]" RUN_SERIAL TRUE
    DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES)
endfunction()
