// An ISO-DEP card (ISO/IEC 14443-4 over NFC-A or NFC-B) holding an NFC Forum Type 4 NDEF
// application: SELECT by name (the NDEF application of mapping 2.0, or of 1.0 only) and by file
// id, READ BINARY and UPDATE BINARY on transparent files, with short or extended lengths
// (ISO/IEC 7816-4). The capability container file is read-only; the NDEF file starts with its
// two-byte length.
//
// DesfireTag adds a MIFARE DESFire (or EV1) as its public datasheets describe it: native commands
// wrapped in ISO 7816-4 APDUs (CLA 90), an application directory with standard data files,
// GetVersion, ReadData in 59-byte frames chained by 91 AF, the legacy DES authentication with the
// PICC master key, and FormatPICC.
#pragma once

#include <map>

#include "tags/tag.h"

namespace simtags {

class IsoDepTag : public Tag {
public:
    static constexpr uint16_t CC_FILE = 0xE103;
    static constexpr uint16_t NDEF_FILE = 0xE104;
    static const Bytes NDEF_APPLICATION;      // D2 76 00 00 85 01 01 (mapping 2.0)
    static const Bytes NDEF_APPLICATION_V1;   // D2 76 00 00 85 01 00 (mapping 1.0)

    // The application names the card answers to: 2.0 only, 1.0 only, or both.
    enum class Mapping : uint8_t { V2, V1Only, Both };

    explicit IsoDepTag(Technology technology = Technology::A, size_t ndefFileSize = 1024, Mapping mapping = Mapping::V2);

    void reset() override;

    // The CC as the standard lays it out, for tests to bend one field at a time.
    struct Cc {
        uint8_t version = 0x20;
        uint16_t mle = 0x00FF, mlc = 0x00FF;
        uint8_t tlvType = 0x04, tlvLength = 0x06;
        uint16_t fileId = NDEF_FILE, fileSize = 0;
        uint8_t read = 0x00, write = 0x00;
    };
    void setCc(const Cc& cc);
    Cc cc() const { return cc_; }
    // The NDEF file's message (after NLEN) and its NLEN; the whole file by id.
    Bytes message() const;
    void setMessage(const Bytes& message);
    Bytes& file(uint16_t id) { return files[id]; }

protected:
    std::optional<Bytes> respond(const Bytes& apdu) override;
    Exchange describe(const Bytes& apdu) const override;   // op: INS; address: P1 P2; data: the body
    std::optional<Bytes> nak() const override { return Bytes{0x6F, 0x00}; }   // no precise diagnosis

    // A command APDU cut into its parts; Ne 0 means no data expected.
    struct Apdu {
        uint8_t cla, ins, p1, p2;
        Bytes data;
        size_t ne = 0;
    };
    static std::optional<Apdu> parse(const Bytes& bytes);
    static Bytes sw(uint16_t word, Bytes data = {});
    // The ISO commands on transparent files of the selected application.
    Bytes isoCommand(const Apdu& apdu);
    // The application by DF name; false when the card has none of that name.
    virtual bool selectByName(const Bytes& name);
    // The transparent file of the selected application by its id, or none.
    virtual Bytes* fileById(uint16_t id);
    virtual bool writable(uint16_t id) const { return id != CC_FILE; }

    std::map<uint16_t, Bytes> files;   // transparent files of the NDEF application by id
    std::optional<uint16_t> currentFile_;
    bool applicationSelected_ = false;

private:
    Bytes select(uint8_t p1, const Bytes& data);
    Bytes readBinary(size_t offset, size_t length);
    Bytes updateBinary(size_t offset, const Bytes& data);

    Mapping mapping_;
    Cc cc_;
};

class DesfireTag : public IsoDepTag {
public:
    static constexpr uint32_t PICC = 0x000000;
    static constexpr uint32_t AID_NDEF_DESFIRE = 0xEEEE10;
    static constexpr uint32_t AID_NDEF_EV1 = 0x000001;
    static constexpr size_t FRAME = 59;   // data bytes of one answer frame

    struct Version {
        uint8_t hwMajor = 0x00, hwMinor = 0x01, swMajor = 0x00, swMinor = 0x06;
        uint8_t storage = 0x18;   // 2^(storage >> 1) bytes: 0x18 for 4 KB
    };
    static Version desfire4k() { return {}; }
    static Version ev1(uint8_t storage = 0x1A) { return {0x01, 0x00, 0x01, 0x03, storage}; }

    explicit DesfireTag(Version version = desfire4k());

    void reset() override;

    struct File {
        Bytes data;
        uint16_t isoId = 0;
        uint8_t access[2]{};
    };
    struct Application {
        uint8_t keySettings = 0x0F, keys = 1;
        uint16_t isoId = 0;
        Bytes dfName;
        bool isoFileIds = false;
        std::map<uint8_t, File> files;
    };
    std::map<uint32_t, Application> applications;   // besides the PICC level
    Version version;
    uint8_t piccKey[8]{};                           // the PICC master key (default: zeros)
    Bytes rndB{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};   // what the card draws
    bool authenticated = false;

    // Lays out the NDEF application the Type 4 mapping of DESFire describes, as the card's issuer
    // would: application, CC file and NDEF file of the size holding the message.
    void createNdefApplication(size_t ndefFileSize, const Bytes& message = {});
    const File* ndefFile() const;

protected:
    std::optional<Bytes> respond(const Bytes& apdu) override;
    bool selectByName(const Bytes& name) override;
    Bytes* fileById(uint16_t id) override;
    bool writable(uint16_t) const override { return true; }

private:
    bool isEv1() const { return version.hwMajor == 0x01; }
    Bytes native(uint8_t ins, const Bytes& data);
    Bytes selectApplication(const Bytes& data);
    Bytes createApplication(const Bytes& data);
    Bytes createFile(const Bytes& data);
    Bytes readData(const Bytes& data);
    Bytes writeData(const Bytes& data);
    Bytes authenticate(const Bytes& data);
    Bytes additionalFrame(const Bytes& data);
    Bytes formatPicc();
    Application* selectedApplication();
    Bytes nextFrame();

    enum class Pending : uint8_t { None, Version2, Version3, Read, Authenticate };
    uint32_t selected_ = PICC;
    Pending pending_ = Pending::None;
    Bytes rest_;   // of a read that goes on in further frames
};

} // namespace simtags
