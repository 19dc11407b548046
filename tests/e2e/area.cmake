# The stack reaches the simulated controller through the fake bus libraries too.
target_link_libraries(${name} PRIVATE aardvark_fake armboard_fake spbproxy_fake)
