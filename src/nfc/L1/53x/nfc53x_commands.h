// The commands the PN53x driver sends, in table order: X(request id, name, flag, command bytes...).
// The flag keeps the line blocked after the ACK until the response arrives. Rows 1 and 2 take
// their bytes from the driver's listen buffers, built before each use.
#pragma once

#define NFC53X_COMMANDS(X)                                                                  \
    X(10, TamaAck, 0)                                                                       \
    X(0, InJumpForDEP, 0)                                                                   \
    X(1, TgInitAsTarget, 0)                                                                 \
    X(2, TgGetDEPData, 1, 0xD4, 0x86)                                                       \
    X(3, TgSetDEPData, 1, 0xD4, 0x8E)                                                       \
    X(4, InDataExchange, 0, 0xD4, 0x40, 0x01)                                               \
    X(5, InListPassiveTarget, 0, 0xD4, 0x4A, 0x01)                                          \
    X(6, RFConfiguration, 1, 0xD4, 0x32, 0x01, 0x00)                                        \
    X(7, InSelect, 0, 0xD4, 0x54)                                                           \
    X(8, GetFirmwareVersion, 0, 0xD4, 0x02)                                                 \
    X(9, SetBaudrate, 0, 0xD4, 0x10, 0x07)                                                  \
    X(11, TgInitCE, 0, 0xD4, 0x8C)                                                          \
    X(12, SetSAMConfigInit, 0, 0xD4, 0x14, 0x01, 0x00, 0x01)                                \
    X(13, SetSAMConfigNormal, 1, 0xD4, 0x14, 0x01, 0x00, 0x01)                              \
    X(14, SetSAMConfigWired, 0, 0xD4, 0x14, 0x03, 0x10, 0x01)                               \
    X(15, SetSAMConfigVirtual, 0, 0xD4, 0x14, 0x02, 0x10, 0x01)                             \
    X(16, GetGeneralStatus, 0, 0xD4, 0x04)                                                  \
    X(17, RFConfig_Item2, 0, 0xD4, 0x32, 0x02, 0x00, 0x0F, 0x0A)                            \
    X(18, RFConfig_Item5, 0, 0xD4, 0x32, 0x05, 0xFF, 0xFF, 0xFF)                            \
    X(19, RFConfig_ItemA, 0, 0xD4, 0x32, 0x0A, 0x59, 0x34, 0x3F, 0x11, 0x4D, 0x85, 0x61,    \
      0x6F, 0x26, 0x62, 0x87)                                                               \
    X(20, TgGetInitiatorCommand, 0, 0xD4, 0x88)                                             \
    X(22, EmptyInDataExchange, 0, 0xD4, 0x40, 0x01)                                         \
    X(23, InDataExchangeMore, 0, 0xD4, 0x40, 0x41)                                          \
    X(24, TgSetMetaData, 0, 0xD4, 0x94)                                                     \
    X(21, TgResponseToInitiator, 0, 0xD4, 0x90)                                             \
    X(25, RegulationTest, 0, 0xD4, 0x58)                                                    \
    X(26, RFConfiguration, 0, 0xD4, 0x32)                                                   \
    X(27, GetGeneralStatus, 0, 0xD4, 0x04)                                                  \
    X(28, ReadRegister, 0, 0xD4, 0x06)                                                      \
    X(29, WriteRegister, 0, 0xD4, 0x08)                                                     \
    X(30, ReadGPIO, 0, 0xD4, 0x0C)                                                          \
    X(31, WriteGPIO, 0, 0xD4, 0x0E)
