# The public header is also compiled as C, with the same layout checks.
target_sources(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/api/records_c.c)
# The library test opens the shared library beside the test program.
add_dependencies(${name} Corvane)
