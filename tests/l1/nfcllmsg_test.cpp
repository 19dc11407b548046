#include <gtest/gtest.h>

#include "L1/common/nfcllmsg.h"

TEST(NfcllMessages, FieldsTravelThroughTheMessageUnchanged) {
    TNfcCapabilityBlock block{};
    OsMessage message = nfcllMsgMake<NFCLL_ACT_CONF>(0xB7, {264, &block});
    EXPECT_EQ(message.command, 0x8648);
    EXPECT_EQ(message.source, 0xB7u);
    TNfcllActConf conf = nfcllMsgGet<NFCLL_ACT_CONF>(message);
    EXPECT_EQ(conf.cause, 264);
    EXPECT_EQ(conf.capabilities, &block);

    uint8_t in[3] = {6, 6, 6}, out[3] = {};
    TNfcllIoControlReq io{nullptr, in, out, 0x1004, 23500, 3, 3};
    TNfcllIoControlReq back = nfcllMsgGet<NFCLL_IOCONTROL_REQ>(nfcllMsgMake<NFCLL_IOCONTROL_REQ>(0xB2, io));
    EXPECT_EQ(back.code, 0x1004u);
    EXPECT_EQ(back.input, in);
    EXPECT_EQ(back.output, out);
    EXPECT_EQ(back.outputSize, 3);
}

TEST(NfcllMessages, NamesComeFromTheTable) {
    EXPECT_STREQ(nfcllCodeName(0x864D), "NFCLL_LISTEN_CONF");
    EXPECT_STREQ(nfcllCodeName(0x86BA), "NFCLL_DEVICE_IND");
    EXPECT_STREQ(nfcllCodeName(0x145), "PH_RESET_CONF");
    EXPECT_STREQ(nfcllCodeName(0x1234), "");
}
