#include <gtest/gtest.h>

#include <string>

#include "trace_capture.h"
#include "util/config.h"

namespace {

struct NormCase {
    const char* input;
    CfgResult result;
    const char* normalised;   // expected text when Ok, or a trace line that must appear
};

} // namespace

TEST(Config, NormalisationTable) {
    const std::string longValue(250, 'x');
    const std::string tooLong = "READERTYPE=NCI PORT=" + longValue;
    std::string items = "READERTYPE=NCI";
    for (int i = 0; i < 32; ++i) items += " K" + std::to_string(i) + "=1";   // 33 items
    const NormCase cases[] = {
        {"READERTYPE=PN544 IOTYPE=I2C", CfgResult::Ok, "READERTYPE=PN544 IOTYPE=I2C LENGTHMODE=1 WINDOWSIZE=4 SLAVEADDRESS=80"},
        {"readertype=NCI", CfgResult::Ok, "READERTYPE=NCI IOTYPE=SERIAL BAUDRATE=115200 HANDSHAKE=2"},
        {"READERTYPE=nci", CfgResult::NoReaderType, "! Reader type is 0, cannot start"},
        {"READERTYPE=PN544", CfgResult::NoIoType, "! transporttype is 0, cannot start"},
        {"READERTYPE=PN544 IOTYPE=USB", CfgResult::NoIoType, "! transporttype is 0, cannot start"},
        {"READERTYPE=AS3911 IOTYPE=USB", CfgResult::Ok, "READERTYPE=AS3911 IOTYPE=USB BAUDRATE=115200 HANDSHAKE=2"},
        {"READERTYPE PN544", CfgResult::ParseError, "! keyword \"READERTYPE\" in the init-string caused an error"},
        {"READERTYPE =PN544", CfgResult::ParseError, "! init string has errors"},
        {"READERTYPE=  PN533   ", CfgResult::Ok, "READERTYPE=PN533 BAUDRATE=115200 HANDSHAKE=2 IOTYPE=SERIAL"},
        {"READERTYPE=T6NE2 BAUDRATE=9600", CfgResult::Ok, "READERTYPE=T6NE2 BAUDRATE=9600 IOTYPE=SERIAL HANDSHAKE=2"},
        {"READERTYPE=ST21NFCA IOTYPE=SERIAL", CfgResult::Ok,
         "READERTYPE=ST21NFCA IOTYPE=SERIAL ST21REBOOT=1 LENGTHMODE=1 WINDOWSIZE=2 BAUDRATE=115200 HANDSHAKE=2"},
        {"READERTYPE=NCI PORT=\"COM 3\"", CfgResult::Ok, "READERTYPE=NCI PORT=\"COM 3\" IOTYPE=SERIAL BAUDRATE=115200 HANDSHAKE=2"},
        {items.c_str(), CfgResult::ParseError, "! init string has errors"},
        {tooLong.c_str(), CfgResult::TooLong, nullptr},
    };
    for (const NormCase& c : cases) {
        TraceCapture cap;
        CfgNormalised out;
        EXPECT_EQ(cfgNormalise(c.input, &out), c.result) << c.input;
        if (c.result == CfgResult::Ok) {
            EXPECT_STREQ(out.text, c.normalised) << c.input;
        } else if (c.normalised) {
            EXPECT_TRUE(cap.contains(c.normalised)) << c.input;
        }
    }
}

TEST(Config, ReaderAndBusCodes) {
    EXPECT_EQ(cfgReaderTypeCode("NCI"), 0x40B);
    EXPECT_EQ(cfgReaderTypeCode("NCF3340"), 0x416);
    EXPECT_EQ(cfgReaderTypeCode("E2"), 0x413);
    EXPECT_EQ(cfgReaderTypeCode("pn544"), 0);
    EXPECT_EQ(cfgIoTypeCode("SERIALUMDF"), 1);
    EXPECT_EQ(cfgIoTypeCode("INTERNAL"), 7);
    EXPECT_EQ(cfgIoTypeCode(nullptr), 0);
}

TEST(Config, DownloadFlagFollowsPresenceOfKey) {
    CfgNormalised out;
    ASSERT_EQ(cfgNormalise("READERTYPE=NCI FWDOWNLOAD=1", &out), CfgResult::Ok);
    EXPECT_TRUE(out.download);
    ASSERT_EQ(cfgNormalise("READERTYPE=NCI", &out), CfgResult::Ok);
    EXPECT_FALSE(out.download);
}

TEST(Config, GetParamReadsWholeQuotedValueAndNextKey) {
    CfgNormalised out;
    ASSERT_EQ(cfgNormalise("READERTYPE=NCI PORT=\"/dev/my port\" BAUDRATE=9600", &out), CfgResult::Ok);
    char v[64];
    ASSERT_EQ(cfgGetParam(out.text, "PORT", v, sizeof v), 1);
    EXPECT_STREQ(v, "/dev/my port");
    ASSERT_EQ(cfgGetParam(out.text, "BAUDRATE", v, sizeof v), 1);
    EXPECT_STREQ(v, "9600");
}

TEST(Config, GetParamRules) {
    char v[8];
    EXPECT_EQ(cfgGetParam("A=1 BB=22", "BB", v, sizeof v), 1);
    EXPECT_STREQ(v, "22");
    EXPECT_EQ(cfgGetParam("A=1 BB=22", "B", v, sizeof v), 0);          // exact key length
    EXPECT_EQ(cfgGetParam("A=1 BB=22", "bb", v, sizeof v), 0);         // case-sensitive
    EXPECT_EQ(cfgGetParam("A=12345678", "A", v, sizeof v), 0);         // value does not fit
    EXPECT_EQ(cfgGetParam("A=1234567", "A", v, sizeof v), 1);
    EXPECT_EQ(cfgGetParam("", "A", v, sizeof v), 0);
    EXPECT_EQ(cfgGetParam("TRACES.NFC = 0x5", "TRACES.NFC", v, sizeof v), 1);
    EXPECT_STREQ(v, "0x5");
}
