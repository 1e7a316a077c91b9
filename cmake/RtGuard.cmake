# The real-time guard build: -DCANTABILE_RT_GUARD=ON makes every test
# executable that links the test support library abort on any allocation or
# file write inside the output stage's buffer switch. The switch callbacks
# are marked by wrapping their symbols at link time, so the product code
# is built exactly as shipped. Not for sanitizer builds (they replace the
# allocator themselves); the guard switches itself off under them.
option(CANTABILE_RT_GUARD "Abort tests on allocation or file writes on the driver's thread" OFF)

if(CANTABILE_RT_GUARD AND TARGET testsupport)
  target_compile_definitions(testsupport PUBLIC CANTABILE_RT_GUARD=1)
  target_link_libraries(testsupport PUBLIC ${CMAKE_DL_LIBS})
  target_link_options(testsupport INTERFACE
    "LINKER:--wrap=_ZN11ASIOBuffers20OnBufferSwitch16BitsEii"
    "LINKER:--wrap=_ZN11ASIOBuffers20OnBufferSwitch32BitsEii")
endif()
