# The P2P export test opens the shared library beside the test program.
add_dependencies(${name} Corvane)
