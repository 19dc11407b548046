// The emulated Type 4 and Type 3 cards on their own: byte vectors of reader commands and their
// answers, every truncation of each command in a buffer of exactly its length (the address
// checker sees any read past it), and the content that card emulation starts with on the real
// library's NDEF builders.
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include "cardemulation.h"
#include "corvanebinding.h"
#include "ndefmessage.h"
#include "nfcinstance.h"

using Bytes = std::vector<uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

const Bytes kCapabilityContainer{0x00, 0x0F, 0x20, 0x00, 0x3B, 0x00, 0x34, 0x04,
                                 0x06, 0xE1, 0x04, 0x10, 0x01, 0x00, 0x00};
// Version 1.0, 4 blocks per check and update, 16 blocks, writable.
const Bytes kAttributeBlock{0x10, 0x04, 0x04, 0x00, 0x10, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x39};
const Bytes kNfcid2{0x02, 0x19, 0x0F, 0x0E, 0x01, 0x01, 0x0C, 0x0A};
const Bytes kOk{0x90, 0x00};
constexpr DWORD kType4 = CE_HOST_14443A_106, kType3 = CE_HOST_FELICA;

const Bytes kSelectV1{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x00};
const Bytes kSelectV2{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00};
const Bytes kSelectCc{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03};
const Bytes kSelectNdef{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes read(uint16_t offset, uint8_t length) {
    return {0x00, 0xB0, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), length};
}

Bytes update(uint16_t offset, const Bytes& data) {
    return cat({{0x00, 0xD6, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                 static_cast<uint8_t>(data.size())},
                data});
}

Bytes felica(uint8_t code, const Bytes& fields) {
    Bytes frame = cat({{0x00, code}, fields});
    frame[0] = static_cast<uint8_t>(frame.size());
    return frame;
}

Bytes poll(uint8_t requestCode) { return felica(0x00, {0x12, 0xFC, requestCode, 0x00}); }

// One service (0x000B), one block list element of two bytes naming the block.
Bytes check(uint8_t block) { return felica(0x06, cat({kNfcid2, {0x01, 0x0B, 0x00, 0x01, 0x80, block}})); }

Bytes felicaUpdate(uint8_t block, const Bytes& data) {
    return felica(0x08, cat({kNfcid2, {0x01, 0x09, 0x00, 0x01, 0x80, block}, data}));
}

Bytes message(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
    return bytes;
}

// A card as ceStart leaves it, holding a 40-byte message.
struct Card {
    CCardEmulation card;
    Card() {
        card.setConfiguration(kCapabilityContainer.data(), kAttributeBlock.data());
        card.setNfcid2();
        const Bytes content = message(40);
        card.setContent(content.data(), content.size());
    }
    // The command in a heap block of exactly its size, so that any read past it is caught.
    Bytes send(DWORD technology, const Bytes& command, bool p2pListening = false) {
        std::unique_ptr<BYTE[]> exact(command.empty() ? nullptr : new BYTE[command.size()]);
        std::copy(command.begin(), command.end(), exact.get());
        card.handleReceivedPdu(technology, exact.get(), command.size(), p2pListening);
        return Bytes(card.answer(), card.answer() + card.answerLength());
    }
    Bytes ln() const {
        auto* block = const_cast<CCardEmulation&>(card).attributeBlock();
        return Bytes(block + 11, block + 14);
    }
    uint16_t checksum() const {
        auto* block = const_cast<CCardEmulation&>(card).attributeBlock();
        return static_cast<uint16_t>(block[14] << 8 | block[15]);
    }
};

uint16_t sumOf14(const BYTE* block) {
    unsigned sum = 0;
    for (int i = 0; i < 14; ++i) sum += block[i];
    return static_cast<uint16_t>(sum);
}

} // namespace

class CardEmulationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The real library's NDEF builders fill the generic content; its P2P exports are not needed.
        const uint32_t result = corvaneLoadLibrary();
        QVERIFY(result == corvaneLoadBound || result == corvaneLoadIncomplete);
    }
    void cleanupTestCase() { corvaneFreeLibrary(); }

    void commandsAndTheirAnswers_data() {
        QTest::addColumn<DWORD>("technology");
        QTest::addColumn<Bytes>("before");   // sent first, answers not checked
        QTest::addColumn<Bytes>("command");
        QTest::addColumn<Bytes>("answer");
        const Bytes none;
        QTest::newRow("select v1") << kType4 << none << kSelectV1 << kOk;
        QTest::newRow("select v1 with Le") << kType4 << none << cat({kSelectV1, {0x00}}) << Bytes{0x6A, 0x82};
        QTest::newRow("select v2") << kType4 << none << kSelectV2 << kOk;
        QTest::newRow("select v2 without 00") << kType4 << none << Bytes(kSelectV2.begin(), kSelectV2.end() - 1)
                                              << Bytes{0x6A, 0x82};
        QTest::newRow("select other id") << kType4 << none << Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x05}
                                         << Bytes{0x6A, 0x82};
        QTest::newRow("select by other length") << kType4 << none << Bytes{0x00, 0xA4, 0x04, 0x00, 0x03, 1, 2, 3}
                                                << Bytes{0x6A, 0x82};
        QTest::newRow("CC read of 15") << kType4 << kSelectCc << read(0, 15) << cat({kCapabilityContainer, kOk});
        QTest::newRow("CC read of 14") << kType4 << kSelectCc << read(0, 14) << Bytes{0x6A, 0x80};
        QTest::newRow("NDEF read at 0 of 1") << kType4 << kSelectNdef << read(0, 1) << Bytes{0x00, 0x90, 0x00};
        QTest::newRow("NDEF read at 0 of 4") << kType4 << kSelectNdef << read(0, 4)
                                             << Bytes{0x00, 0x28, 0x40, 0x41, 0x90, 0x00};
        QTest::newRow("NDEF read at 1 of 1") << kType4 << kSelectNdef << read(1, 1) << Bytes{0x28, 0x90, 0x00};
        QTest::newRow("NDEF read at 1 of 3") << kType4 << kSelectNdef << read(1, 3) << Bytes{0x28, 0x40, 0x41, 0x90, 0x00};
        QTest::newRow("NDEF read at 5 of 2") << kType4 << kSelectNdef << read(5, 2) << Bytes{0x43, 0x44, 0x90, 0x00};
        QTest::newRow("NDEF read of 0") << kType4 << kSelectNdef << read(2, 0) << Bytes{0x6A, 0x81};
        QTest::newRow("NDEF read past the file") << kType4 << kSelectNdef << read(4095, 3) << Bytes{0x6A, 0x80};
        QTest::newRow("NDEF read to the file's end") << kType4 << kSelectNdef << read(4094, 3)
                                                     << Bytes{0x00, 0x00, 0x00, 0x90, 0x00};
        QTest::newRow("read with nothing selected") << kType4 << none << read(0, 2) << Bytes{0x6A, 0x81};
        QTest::newRow("update with nothing selected") << kType4 << none << update(2, {1}) << Bytes{0x6A, 0x80};
        QTest::newRow("update with Lc beyond the data") << kType4 << kSelectNdef
                                                        << Bytes{0x00, 0xD6, 0x00, 0x02, 0x05, 0xAA} << Bytes{0x6A, 0x80};
        QTest::newRow("update past the file") << kType4 << kSelectNdef << update(4095, {1, 2, 3}) << Bytes{0x6A, 0x84};
        QTest::newRow("update the CC") << kType4 << kSelectCc << update(0, {1, 2}) << Bytes{0x6A, 0x80};
        QTest::newRow("one byte") << kType4 << none << Bytes{0x00} << Bytes{0x6A, 0x81};
        QTest::newRow("no byte") << kType4 << none << none << Bytes{0x6A, 0x81};
        QTest::newRow("other class") << kType4 << none << Bytes{0x80, 0xA4, 0x04, 0x00, 0x00} << Bytes{0x6A, 0x81};
        QTest::newRow("unknown instruction") << kType4 << none << Bytes{0x00, 0xCA, 0x00, 0x00} << Bytes{0x6A, 0x81};
        const Bytes pmm{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3B, 0x3B, 0xFF};
        QTest::newRow("SENSF_REQ RC 0") << kType3 << none << poll(0) << cat({{0x12, 0x01}, kNfcid2, pmm});
        QTest::newRow("SENSF_REQ RC 1") << kType3 << none << poll(1) << cat({{0x14, 0x01}, kNfcid2, pmm, {0x12, 0xFC}});
        QTest::newRow("SENSF_REQ RC 2") << kType3 << none << poll(2) << cat({{0x12, 0x01}, kNfcid2, pmm});
        QTest::newRow("SENSF_REQ RC 3") << kType3 << none << poll(3) << none;
        QTest::newRow("CHECK block 1") << kType3 << none << check(1)
                                       << cat({{0x1D, 0x07}, kNfcid2, {0x00, 0x00, 0x01}, message(16)});
        QTest::newRow("CHECK block 0") << kType3 << none << check(0)
                                       << cat({{0x1D, 0x07}, kNfcid2, {0x00, 0x00, 0x01},
                                               Bytes(kAttributeBlock.begin(), kAttributeBlock.begin() + 11),
                                               {0x00, 0x00, 0x28, 0x00, 0x51}});
        QTest::newRow("CHECK beyond the blocks") << kType3 << none << check(16) << none;
        QTest::newRow("UPDATE block 2") << kType3 << none << felicaUpdate(2, Bytes(16, 0x77))
                                        << cat({{0x0C, 0x09}, kNfcid2, {0x00, 0x00}});
        QTest::newRow("UPDATE beyond the blocks") << kType3 << none << felicaUpdate(200, Bytes(16, 0x77)) << none;
        QTest::newRow("REQUEST SYSTEM CODE") << kType3 << none << felica(0x0C, kNfcid2)
                                             << cat({{0x0D, 0x0D}, kNfcid2, {0x01, 0x12, 0xFC}});
        QTest::newRow("unknown FeliCa command") << kType3 << none << felica(0x05, kNfcid2) << Bytes{0x02, 0xFF};
        QTest::newRow("empty FeliCa command") << kType3 << none << none << none;
    }
    void commandsAndTheirAnswers() {
        QFETCH(DWORD, technology);
        QFETCH(Bytes, before);
        QFETCH(Bytes, command);
        QFETCH(Bytes, answer);
        Card card;
        if (!before.empty()) card.send(technology, before);
        QCOMPARE(card.send(technology, command), answer);
    }

    void aTruncatedCommandIsRefusedWithoutReadingPastIt_data() {
        QTest::addColumn<DWORD>("technology");
        QTest::addColumn<Bytes>("command");
        // Cut at every length below the full command (a SENSF_REQ is complete without its slot byte).
        QTest::newRow("select by id") << kType4 << kSelectNdef;
        QTest::newRow("select by name") << kType4 << kSelectV2;
        QTest::newRow("read") << kType4 << read(2, 4);
        QTest::newRow("update") << kType4 << update(2, {1, 2, 3, 4});
        QTest::newRow("update at 0") << kType4 << update(0, {0x00, 0x03, 0xD0, 0x00, 0x00});
        const Bytes sensf = poll(1);
        QTest::newRow("SENSF_REQ") << kType3 << Bytes(sensf.begin(), sensf.end() - 1);
        QTest::newRow("CHECK") << kType3 << check(1);
        QTest::newRow("UPDATE") << kType3 << felicaUpdate(1, Bytes(16, 0x55));
    }
    void aTruncatedCommandIsRefusedWithoutReadingPastIt() {
        QFETCH(DWORD, technology);
        QFETCH(Bytes, command);
        for (size_t length = 0; length < command.size(); ++length) {
            Card card;
            card.send(technology, kSelectNdef);
            const Bytes answer = card.send(technology, Bytes(command.begin(), command.begin() + length));
            if (technology == kType4) {
                QVERIFY2(answer.size() >= 2, qPrintable(QString::number(length)));
                // A cut UPDATE never lands: the message keeps its bytes and length.
                QCOMPARE(card.card.nlen(), uint16_t{40});
                QCOMPARE(card.card.content()[0], BYTE{0x40});
            } else {
                QVERIFY2(answer.empty(), qPrintable(QString::number(length)));
            }
        }
    }

    void anUpdateAtZeroMovesNlenAndLnTogether() {
        Card card;
        card.send(kType4, kSelectNdef);
        QCOMPARE(card.send(kType4, update(0, {0x00, 0x00})), kOk);
        QCOMPARE(card.card.nlen(), uint16_t{0});
        QCOMPARE(card.ln(), (Bytes{0x00, 0x00, 0x00}));
        QCOMPARE(card.checksum(), sumOf14(card.card.attributeBlock()));
        // Lc 1 brings the high byte only: the low byte stays.
        QCOMPARE(card.send(kType4, update(0, {0x00, 0x12})), kOk);
        QCOMPARE(card.send(kType4, update(0, {0x01})), kOk);
        QCOMPARE(card.card.nlen(), uint16_t{0x0112});
        QCOMPARE(card.send(kType4, update(1, {0x34, 0xAB})), kOk);
        QCOMPARE(card.card.nlen(), uint16_t{0x0134});
        QCOMPARE(card.card.content()[0], BYTE{0xAB});
        QCOMPARE(card.send(kType4, update(0, {})), kOk);
        QCOMPARE(card.card.nlen(), uint16_t{0x0134});
    }

    void bothCardsShareOneMessage() {
        Card card;
        QCOMPARE(card.send(kType3, felicaUpdate(1, Bytes(16, 0xEE))), cat({{0x0C, 0x09}, kNfcid2, {0x00, 0x00}}));
        card.send(kType4, kSelectNdef);
        QCOMPARE(card.send(kType4, read(2, 3)), (Bytes{0xEE, 0xEE, 0xEE, 0x90, 0x00}));
        // A Type 4 length shows in the FeliCa attribute block.
        card.send(kType4, update(0, {0x00, 0x11}));
        const Bytes checked = card.send(kType3, check(0));
        QCOMPARE(Bytes(checked.begin() + 13 + 11, checked.begin() + 13 + 14), (Bytes{0x00, 0x00, 0x11}));
        // A FeliCa attribute block names the Type 4 length.
        Bytes block = kAttributeBlock;
        block[12] = 0x01;
        block[13] = 0x20;
        card.send(kType3, felicaUpdate(0, block));
        QCOMPARE(card.send(kType4, read(0, 2)), (Bytes{0x01, 0x20, 0x90, 0x00}));
    }

    void aReaderWrittenLengthBeyondTheMessageSpaceReadsNothingPastIt() {
        Card card;
        Bytes block = kAttributeBlock;
        block[12] = 0xFF;
        block[13] = 0xFF;
        card.send(kType3, felicaUpdate(0, block));
        QCOMPARE(card.card.nlen(), uint16_t{0xFFFF});
        card.send(kType4, kSelectNdef);
        QCOMPARE(card.send(kType4, read(4090, 8)), (Bytes{0x6A, 0x80}));
        QCOMPARE(card.send(kType4, read(4090, 7)).size(), size_t{9});
    }

    void theP2pListenerShowsInThePollAnswer() {
        Card card;
        const Bytes answer = card.send(kType3, poll(0), true);
        QCOMPARE(Bytes(answer.begin() + 10, answer.end()), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    }

    void aNewConfigurationClaimsNoStaleContent() {
        Card card;
        card.card.setConfiguration(kCapabilityContainer.data(), kAttributeBlock.data());
        QCOMPARE(card.card.nlen(), uint16_t{0});
        QCOMPARE(card.card.content()[0], BYTE{0});
        card.send(kType4, kSelectNdef);
        QCOMPARE(card.card.answerLength(), size_t{2});
        QCOMPARE(card.send(kType4, read(2, 1)), (Bytes{0x00, 0x90, 0x00}));
    }

    // ---- The instance's emulation ----

    void aStartWithTextGivesTheMessageSizeToBothRecords() {
        CNfcInstance instance;
        QCOMPARE(instance.ceStart(kType4 | kType3, 2, kCapabilityContainer.data(), kAttributeBlock.data()),
                 NfcApiStatus{nfcStatusOk});
        CNdefMessage text;
        QCOMPARE(text.ndefCreateTextMessage(QStringLiteral("Card emulation by Marveld"), QStringLiteral("English")),
                 NdefStatus{NDEF_OK});
        const uint32_t size = text.getMessageSize();
        const BYTE* record = instance.ceGetIso14443ABCapabilityContainer();
        QCOMPARE(Bytes(record, record + 15), kCapabilityContainer);
        QCOMPARE(Bytes(record + 15, record + 17), (Bytes{0x00, static_cast<uint8_t>(size)}));
        const BYTE* block = instance.ceGetFelicaAttributeBlock();
        QCOMPARE(Bytes(block, block + 11), Bytes(kAttributeBlock.begin(), kAttributeBlock.begin() + 11));
        QCOMPARE(Bytes(block + 11, block + 14), (Bytes{0x00, 0x00, static_cast<uint8_t>(size)}));
        QCOMPARE(static_cast<uint16_t>(block[14] << 8 | block[15]), sumOf14(block));
        QCOMPARE(Bytes(instance.ceGetContent(), instance.ceGetContent() + size),
                 Bytes(text.getMessageBuffer(), text.getMessageBuffer() + size));
    }

    void everyGenericContentIsBuilt_data() {
        QTest::addColumn<DWORD>("type");
        for (DWORD type : {1u, 3u, 4u, 5u}) QTest::newRow(qPrintable(QString::number(type))) << type;
    }
    void everyGenericContentIsBuilt() {
        QFETCH(DWORD, type);
        CNfcInstance instance;
        QCOMPARE(instance.ceStart(kType4, type, kCapabilityContainer.data(), kAttributeBlock.data()),
                 NfcApiStatus{nfcStatusOk});
        const BYTE* record = instance.ceGetIso14443ABCapabilityContainer();
        const uint16_t nlen = static_cast<uint16_t>(record[15] << 8 | record[16]);
        QCOMPARE(nlen == 0, type == 1);
        if (nlen) QCOMPARE(instance.ceGetContent()[0] & 0x07, type == 5 ? 0x02 : 0x01);   // MIME or well known
    }

    void aStartWithoutAnEmulatedTechnologyOrTypeFails() {
        CNfcInstance instance;
        QCOMPARE(instance.ceStart(TAG_ISO14443A, 2, kCapabilityContainer.data(), kAttributeBlock.data()),
                 NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance.ceGetIso14443ABCapabilityContainer()[15], BYTE{0});
        QCOMPARE(instance.ceStart(kType4, 6, kCapabilityContainer.data(), kAttributeBlock.data()),
                 NfcApiStatus{nfcStatusFailed});
    }

    void savedContentMustFitTheMessageSpace() {
        CNfcInstance instance;
        CNdefMessage small;
        QCOMPARE(small.ndefCreateUriMessage(QStringLiteral("http://"), QStringLiteral("a.b")), NdefStatus{NDEF_OK});
        QCOMPARE(instance.ceSaveContent(&small), NfcApiStatus{nfcStatusFailed});   // no emulation yet
        QCOMPARE(instance.ceStart(kType4, 1, kCapabilityContainer.data(), kAttributeBlock.data()),
                 NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance.ceSaveContent(nullptr), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance.ceSaveContent(&small), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance.ceGetIso14443ABCapabilityContainer()[16], static_cast<BYTE>(small.getMessageSize()));

        QTemporaryDir folder;
        QFile picture(folder.filePath(QStringLiteral("big.png")));
        QVERIFY(picture.open(QIODevice::WriteOnly));
        picture.write(QByteArray(4090, 'p'));
        picture.close();
        CNdefMessage big;
        QCOMPARE(big.ndefCreateMimeMessage(picture.fileName()), NdefStatus{NDEF_OK});
        QVERIFY(big.getMessageSize() > CCardEmulation::kMessageSpace);
        QCOMPARE(instance.ceSaveContent(&big), NfcApiStatus{nfcStatusFailed});
        QCOMPARE(instance.ceGetIso14443ABCapabilityContainer()[16], static_cast<BYTE>(small.getMessageSize()));
        QCOMPARE(instance.ceStop(), NfcApiStatus{nfcStatusOk});
        QCOMPARE(instance.ceSaveContent(&small), NfcApiStatus{nfcStatusFailed});
    }
};

QTEST_MAIN(CardEmulationTest)
#include "cardemulation_test.moc"
