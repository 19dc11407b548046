#include "metatypes.h"

namespace {

struct RegisteredIds {
    int dword = qRegisterMetaType<DWORD>("DWORD");
    int byte = qRegisterMetaType<BYTE>("BYTE");
    int boolean = qRegisterMetaType<BOOL>("BOOL");
    int tagInfo = qRegisterMetaType<TNfcTagInfo*>("TNfcTagInfo *");
    int bytes = qRegisterMetaType<PBYTE>("PBYTE");
    int connection = qRegisterMetaType<TP2pConnection*>("TP2pConnection *");
    int secureElement = qRegisterMetaType<TNfcInfoSE*>("TNfcInfoSE *");
    int eventParam = qRegisterMetaType<TNfcEventParam*>("TNfcEventParam *");
    // The copies that cross to the GUI thread by value.
    int tagInfoCopy = qRegisterMetaType<TNfcTagInfo>();
    int secureElementCopy = qRegisterMetaType<TNfcInfoSE>();
    int connectionCopy = qRegisterMetaType<TP2pConnection>();
    int notificationCopy = qRegisterMetaType<TNfcSecureNotification>();
    int transactionCopy = qRegisterMetaType<TNfcTransaction>();
};

} // namespace

void registerMetaTypes() {
    static const RegisteredIds ids;
    (void)ids;
}
