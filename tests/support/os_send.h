// Drives a task as its peers do: a message with its typed fields on the task's queue, then every
// task runs until nothing is left to do.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "os/os.h"

template <typename Fields>
void sendAndRun(uint16_t queue, uint16_t command, uint32_t source, const Fields& fields) {
    OsMessage message{};
    message.command = command;
    message.source = source;
    osMsgSetFields(message, fields);
    ASSERT_EQ(osMessageSend(queue, &message), OS_OK);
    osRunUntilIdle();
}
