# Warnings every target of the project compiles with.
add_library(qik_warnings INTERFACE)
target_compile_options(qik_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wformat=2 -Wimplicit-fallthrough)
if(QIK_WERROR)
  target_compile_options(qik_warnings INTERFACE -Werror)
endif()
