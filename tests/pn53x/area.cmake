# The simulated PN532 runs as a program of its own in one test.
add_dependencies(${name} pn532_sim)
target_compile_definitions(${name} PRIVATE PN532_SIM_PROGRAM="$<TARGET_FILE:pn532_sim>")
