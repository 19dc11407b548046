// The LLCP module as the start-up's module table registers it.
#pragma once

#include "os/os.h"

// Registers the LLCP task with the module manager.
OsResult llcpRegister(uint16_t readerType);
