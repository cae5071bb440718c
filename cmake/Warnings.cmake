# Warnings (and, in optimised builds, hardening) every target of the project
# compiles with.
add_library(qik_warnings INTERFACE)
target_compile_options(qik_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wformat=2 -Wimplicit-fallthrough)
if(QIK_WERROR)
  target_compile_options(qik_warnings INTERFACE -Werror)
endif()

# The product as Debian builds its packages: checked string and memory calls
# and a read-only relocation table. The sanitizer builds bring checks of
# their own and leave these out.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize" AND CMAKE_BUILD_TYPE MATCHES "Rel")
  target_compile_definitions(qik_warnings INTERFACE _FORTIFY_SOURCE=2)
  target_link_options(qik_warnings INTERFACE -Wl,-z,relro -Wl,-z,now)
endif()
