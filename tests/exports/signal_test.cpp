#include "exports_fixture.h"

namespace {

using SignalTest = ExportsTest;

int g_first, g_second, g_field;

std::vector<void*> contexts(const std::vector<EventLog::Event>& events, DWORD event) {
    std::vector<void*> out;
    for (const auto& e : events)
        if (e.event == event) out.push_back(e.listenerContext);
    return out;
}

struct Notifications {
    std::mutex m;
    std::vector<TNfcSecureNotification> records;
    std::vector<void*> listenerContexts;
    static DWORD callback(void* context, DWORD event, void* listenerContext, void* record) {
        auto* self = static_cast<Notifications*>(context);
        if (event != nfcEventSecureNotification) return 0;
        std::lock_guard<std::mutex> g(self->m);
        self->records.push_back(*static_cast<TNfcSecureNotification*>(record));
        self->listenerContexts.push_back(listenerContext);
        return 0;
    }
};

} // namespace

TEST_F(SignalTest, ATagGoesToTheFirstListenerThatTakesIt) {
    NfcListenerHandle first = nullptr, second = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &g_first, NFC_LISTEN_SECURE_ELEMENT | TAG_14443B, nullptr, &first), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(h, &g_second, NFC_LISTEN_SECURE_ELEMENT | TAG_15693, nullptr, &second), nfcStatusOk);
    showTag(CE_SECURE_CE);
    showTag(TAG_15693 | TAG_NDEF);
    EXPECT_EQ(contexts(log.events(), nfcEventTagDetected), (std::vector<void*>{&g_first, &g_second}));
    EXPECT_TRUE(cap.contains("nfcapi: nfcSignalTagIndication(), controller 1, tag type 0x80000004 (NDEF=0,max=0)"));

    // A tag nobody takes reaches nobody.
    const size_t before = log.events().size();
    tag.tagType = TAG_JEWEL_TYPE1;
    fake().inject(app(), nfaceMsgMake<NFACE_DEVICE_IND>({0, 1, tags}));
    ASSERT_TRUE(fake().sync(kWait));
    EXPECT_EQ(log.events().size(), before);
    EXPECT_TRUE(cap.contains("nfcapi: ! No listener found for signaling, ignore indication for mask 0x00000400"));
}

TEST_F(SignalTest, TransactionsAndFieldActivityReachEveryListenerThatAskedForThem) {
    NfcListenerHandle first = nullptr, second = nullptr, field = nullptr;
    ASSERT_EQ(nfcRegisterListener(h, &g_first, NFC_LISTEN_SECURE_ELEMENT | TAG_14443B, nullptr, &first), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(h, &g_second, NFC_LISTEN_SECURE_ELEMENT | TAG_15693, nullptr, &second), nfcStatusOk);
    ASSERT_EQ(nfcRegisterListener(h, &g_field, NFC_LISTEN_RF_FIELD, nullptr, &field), nfcStatusOk);

    TNfcTransaction transaction{};
    transaction.aidLength = 7;
    fake().inject(app(), nfaceMsgMake<NFACE_NFC_SE_IND>({NFACE_SE_TRANSACTION, 0x101, 0, &transaction}));
    fake().inject(app(), nfaceMsgMake<NFACE_RF_FIELD_IND>({1}));
    ASSERT_TRUE(log.waitCount(3, kWait));
    const auto events = log.events();
    EXPECT_EQ(contexts(events, nfcEventTransaction), (std::vector<void*>{&g_first, &g_second}));
    EXPECT_EQ(contexts(events, nfcEventFieldActivity), std::vector<void*>{&g_field});
    EXPECT_EQ(events.back().value, 1u);
}

TEST_F(SignalTest, SecureElementNotificationsGoToTheApplication) {
    Notifications seenByApp;
    NfcHandle other = nullptr;
    ASSERT_EQ(nfcCreate(&seenByApp, &Notifications::callback, &other), nfcStatusOk);
    fake().inject(fake().appOf(other), nfaceMsgMake<NFACE_NFC_SE_IND>({NFC_SE_DEACTIVATED, 0x102, 0x55, nullptr}));
    ASSERT_TRUE(fake().sync(kWait));
    std::lock_guard<std::mutex> g(seenByApp.m);
    ASSERT_EQ(seenByApp.records.size(), 1u);
    EXPECT_EQ(seenByApp.records[0].handle, 0x102u);
    EXPECT_EQ(seenByApp.records[0].kind, NFC_SE_DEACTIVATED);
    EXPECT_EQ(seenByApp.records[0].value, 0x55u);
    EXPECT_EQ(seenByApp.listenerContexts[0], nullptr);
}
