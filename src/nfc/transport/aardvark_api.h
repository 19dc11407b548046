// The calls the I2C miniports make into the host adapter's run-time library "aardvark.so".
// One list feeds the miniports' binding table and the fake library of the tests.
#pragma once

#include <cstdint>

// X(name, result, parameters)
#define AARDVARK_FUNCTIONS(X)                                                                                   \
    X(c_version, uint32_t, (void))                                                                              \
    X(c_aa_find_devices_ext, int32_t, (int32_t nDevices, uint16_t* devices, int32_t nIds, uint32_t* uniqueIds)) \
    X(c_aa_open, int32_t, (int32_t slot))                                                                       \
    X(c_aa_configure, int32_t, (int32_t handle, int32_t config))                                                \
    X(c_aa_i2c_pullup, int32_t, (int32_t handle, uint8_t mask))                                                 \
    X(c_aa_gpio_pullup, int32_t, (int32_t handle, uint8_t mask))                                                \
    X(c_aa_gpio_direction, int32_t, (int32_t handle, uint8_t mask))                                             \
    X(c_aa_gpio_set, int32_t, (int32_t handle, uint8_t value))                                                  \
    X(c_aa_gpio_get, int32_t, (int32_t handle))                                                                 \
    X(c_aa_target_power, int32_t, (int32_t handle, uint8_t mask))                                               \
    X(c_aa_i2c_bitrate, int32_t, (int32_t handle, int32_t kHz))                                                 \
    X(c_aa_i2c_bus_timeout, int32_t, (int32_t handle, uint16_t ms))                                             \
    X(c_aa_i2c_write_ext, int32_t,                                                                              \
      (int32_t handle, uint16_t address, uint32_t flags, uint16_t length, const uint8_t* data, uint16_t* written)) \
    X(c_aa_i2c_read_ext, int32_t,                                                                               \
      (int32_t handle, uint16_t address, uint32_t flags, uint16_t size, uint8_t* data, uint16_t* read))          \
    X(c_aa_status_string, const char*, (int32_t status))

#define AARDVARK_POINTER_TYPE(name, result, parameters) using name##_t = result(*) parameters;
extern "C" {
AARDVARK_FUNCTIONS(AARDVARK_POINTER_TYPE)
}
#undef AARDVARK_POINTER_TYPE

constexpr char AARDVARK_LIBRARY[] = "aardvark.so";
constexpr uint16_t AARDVARK_IN_USE = 0x8000;     // device word of an adapter another program holds
constexpr uint8_t AARDVARK_GPIO_IRQ = 0x04;
constexpr uint8_t AARDVARK_GPIO_RESET = 0x10;
