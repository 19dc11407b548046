# The stack reaches the simulated controller through the fake bus libraries too.
corvane_bus_fakes(${name})
