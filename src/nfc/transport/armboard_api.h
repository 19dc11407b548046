// The calls the ARM-board miniport makes into the board's run-time library "libArmBoard.so".
// One list feeds the miniport's binding table and the fake library of the tests.
#pragma once

#include <cstdint>

// X(name, result, parameters)
#define ARMBOARD_FUNCTIONS(X)                                                                                   \
    X(phRpc_H_Open, int32_t, (void** handle, uint32_t port, uint32_t mode))                                     \
    X(phRpc_H_Close, int32_t, (void** handle))                                                                  \
    X(phRpc_H_DutInit, uint8_t, (void* handle, uint8_t bus, uint8_t address, uint32_t speed, uint32_t, uint32_t)) \
    X(phRpc_H_DevIoCtl, uint8_t, (void* handle, uint8_t code, uint8_t mode, uint32_t* value))                   \
    X(phRpc_H_DevIoLineCtl, uint8_t, (void* handle, uint8_t line, uint8_t value, uint32_t))                     \
    X(phRpc_H_DutTx, uint8_t, (void* handle, const uint8_t* data, uint16_t* length))                            \
    X(phRpc_H_DutRx, uint8_t, (void* handle, uint8_t** data, uint16_t* length, uint16_t most))                  \
    X(phRpc_H_GetLastError, uint8_t, (void* handle, uint16_t** error))                                          \
    X(phRpc_H_CancelIo, uint8_t, (void* handle))                                                                \
    X(phRpc_H_SetTimeout, uint8_t, (void* handle, uint32_t ms))                                                 \
    X(phRpc_H_SetCommParam, uint8_t, (void* handle))                                                            \
    X(phRpc_H_GetHostInfo, uint8_t, (void* handle, uint32_t what, const char** text, uint8_t* present))         \
    X(phRpc_H_GetDeviceInfo, uint8_t, (void* handle, uint32_t what, const char** text, uint8_t* present))

#define ARMBOARD_POINTER_TYPE(name, result, parameters) using name##_t = result(*) parameters;
extern "C" {
ARMBOARD_FUNCTIONS(ARMBOARD_POINTER_TYPE)
}
#undef ARMBOARD_POINTER_TYPE

constexpr char ARMBOARD_LIBRARY[] = "libArmBoard.so";
constexpr uint8_t ARMBOARD_STATUS_BUSY = 3;       // the board had no room yet: the write may be tried again
constexpr uint8_t ARMBOARD_IOCTL_WAIT_IRQ = 0x59;
constexpr uint8_t ARMBOARD_IOCTL_SENSE_TIMEOUT = 0x45;   // value: how long the interrupt wait lasts, ms
constexpr uint8_t ARMBOARD_LINE_POWER = 4;
constexpr uint16_t ARMBOARD_RX_MAX = 300;
