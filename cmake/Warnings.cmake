# Warnings for the project's own targets only.
add_library(tamsel_warnings INTERFACE)
target_compile_options(tamsel_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(tamsel_warnings INTERFACE -Wduplicated-cond -Wlogical-op)
endif()
