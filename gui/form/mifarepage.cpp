// Page 3: MIFARE Classic authentication, block and sector reads, block writes, format and erase.

#include "lumaroform.h"

#include "formtips.h"

namespace {

// The transport key, the NFC Forum public key A of NDEF sectors, the application directory's
// key A and the all-zero key.
constexpr const char* kKeys[] = {"FF FF FF FF FF FF", "D3 F7 D3 F7 D3 F7", "A0 A1 A2 A3 A4 A5", "00 00 00 00 00 00"};

}  // namespace

void Ui_CLumaro::setupMifarePage() {
    addPage(pagRwMifareStd, "pagRwMifareStd", "R/W: Mifare Std")->setEnabled(false);
    ADD_LAYOUT(gridLayout_16, pagRwMifareStd);
    MAKE(gboRwMifareStandardAuthentication, pagRwMifareStd)
        .text("Authentication")
        .LAYOUT(gridLayout_28)
        .at(gridLayout_16, 0, 0);
    QGroupBox* auth = gboRwMifareStandardAuthentication;
    MAKE(lblRwMifareStandardBlock, auth).text("Block:").at(gridLayout_28, 0, 0);
    MAKE(sboRwMifareStandardBlock, auth).tip("Specify block for furtheroperations.").at(gridLayout_28, 0, 1);
    sboRwMifareStandardBlock->setMaximum(255);
    MAKE(lblRwMifareStandardSector1, auth).text("Sector:").at(gridLayout_28, 0, 2);
    MAKE(lblRwMifareStandardSector2, auth).text("0").minWidth(18).at(gridLayout_28, 0, 3);
    MAKE(lblRwMifareStandardBlockOffset1, auth).text("Block offset:").at(gridLayout_28, 0, 5);
    MAKE(lblRwMifareStandardBlockOffset2, auth).text("0").minWidth(18).at(gridLayout_28, 0, 6);
    MAKE(lblRwMifareStandardKey, auth).text("Key:").at(gridLayout_28, 0, 9);
    MAKE(cboRwMifareStandardKey, auth)
        .tip("Select key for authentication")
        .items(kKeys)
        .minWidth(116)
        .at(gridLayout_28, 0, 10);
    cboRwMifareStandardKey->setEditable(true);
    hSpacer(gridLayout_28, 0, 11);
    MAKE(btnRwMifareStandardAuthenticateA, auth)
        .text("Auth. type A")
        .tip("Authenticate with the chosen key A to the selected block")
        .stdButton()
        .at(gridLayout_28, 0, 12);
    MAKE(btnRwMifareStandardAuthenticateB, auth).text("Auth. type B").stdButton().at(gridLayout_28, 0, 13);

    MAKE(gboRwMifarStandardFormat, pagRwMifareStd).text("Format").LAYOUT(gridLayout_15).at(gridLayout_16, 0, 1);
    MAKE(btnRwMifareStandardFormatNdef, gboRwMifarStandardFormat)
        .text("Format NDEF")
        .tip(kTipFormatNdef)
        .stdButton()
        .at(gridLayout_15, 0, 0);
    MAKE(btnRwMifareStandardErase, gboRwMifarStandardFormat)
        .text("Erase")
        .tip(kTipErase)
        .stdButton()
        .at(gridLayout_15, 0, 1);

    MAKE(gboRwMifareStandardRead, pagRwMifareStd)
        .text("Read")
        .policy(QSizePolicy::Preferred, QSizePolicy::Expanding)
        .minWidth(809)
        .LAYOUT(gridLayout_2)
        .at(gridLayout_16, 1, 0, 1, 2);
    QGroupBox* read = gboRwMifareStandardRead;
    MAKE(lblRwMifareStandardLog, read).text("Log / data read:").at(gridLayout_2, 0, 0);
    fixedSpacer(gridLayout_2, 0, 1, 30, 20);
    MAKE(tedRwMifareStandardLog, read).readOnly().at(gridLayout_2, 0, 2, 4, 1);
    MAKE(btnRwMifareStandardReadBlock, read).text("Read block").tip("Read a block").stdButton().at(gridLayout_2, 0, 3);
    MAKE(btnRwMifareStandardReadSector, read)
        .text("Read sector")
        .tip("Read the entire sector which the selected block belongs to")
        .stdButton()
        .at(gridLayout_2, 1, 3);
    MAKE(btnRwMifareStandardCheckTag, read)
        .text("Check Tag")
        .tip("Check presence of Mifare Standard tag")
        .stdButton()
        .at(gridLayout_2, 2, 3);
    vSpacer(gridLayout_2, 3, 3, 131);

    MAKE(gboRwMifareStandardWrite, pagRwMifareStd)
        .text("Write")
        .policy(QSizePolicy::Preferred, QSizePolicy::Minimum)
        .minWidth(809)
        .LAYOUT(horizontalLayout_11)
        .at(gridLayout_16, 2, 0, 1, 2);
    QGroupBox* write = gboRwMifareStandardWrite;
    MAKE(lblRwMifareStandardWrite, write).text("Write data (16 bytes):").in(horizontalLayout_11);
    MAKE(cboRwMifareStandardWrite, write).in(horizontalLayout_11);
    cboRwMifareStandardWrite->setEditable(true);
    MAKE(btnRwMifareStandardWrite, write)
        .text("Write")
        .tip("Write data to the selected block\n Data size must be consistent with the block size of that block")
        .stdButton()
        .in(horizontalLayout_11);
}
