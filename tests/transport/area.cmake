# The miniports load the fake adapter library from the test program's folder.
target_link_libraries(${name} PRIVATE aardvark_fake armboard_fake spbproxy_fake)
