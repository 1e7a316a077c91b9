# The real-time guard: -DCANTABILE_RT_GUARD=ON (the default preset's
# setting) makes every test executable abort on any allocation or file write
# inside the output stage's buffer switch. The switch callbacks are marked by
# wrapping their symbols when a test folder's executable is linked (see
# cantabile_test_folder), so the product code and the benchmarks are built
# exactly as shipped. Not for sanitizer builds (they replace the allocator
# themselves); the guard switches itself off under them.
option(CANTABILE_RT_GUARD "Abort tests on allocation or file writes on the driver's thread" OFF)

if(CANTABILE_RT_GUARD AND TARGET testsupport)
  target_compile_definitions(testsupport PUBLIC CANTABILE_RT_GUARD=1)
  target_link_libraries(testsupport PUBLIC ${CMAKE_DL_LIBS})
endif()
