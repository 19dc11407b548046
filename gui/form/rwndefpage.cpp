// Page 1: the NDEF read tree with its controls over the R/W copy of the NDEF editor.

#include "lumaroform.h"

#include "formtips.h"

void Ui_CLumaro::setupRwNdefPage() {
    addPage(pagRwNdef, "pagRwNdef", "R/W: NDEF")->setEnabled(false);
    ADD_LAYOUT(verticalLayout_2, pagRwNdef);
    MAKE(gboRwNdefRead, pagRwNdef)
        .text("Read")
        .policy(QSizePolicy::Preferred, QSizePolicy::Minimum)
        .LAYOUT(horizontalLayout)
        .in(verticalLayout_2);
    MAKE(twtRwNdefRead, gboRwNdefRead).in(horizontalLayout);
    setupNdefTree(twtRwNdefRead);
    MAKE(gboRwNdefReadControl, gboRwNdefRead)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .LAYOUT(gridLayout_3)
        .in(horizontalLayout);
    QGroupBox* read = gboRwNdefReadControl;
    MAKE(btnRwNdefRead, read).text("Read").tip("Read detected NDEF tag").stdButton().at(gridLayout_3, 0, 0);
    MAKE(btnRwNdefCheckTag, read)
        .text("Check Tag")
        .tip("Check presence of NDEF tag")
        .stdButton()
        .at(gridLayout_3, 1, 0);
    MAKE(ckbRwNdefSuppress, read)
        .text("Suppress")
        .tip(kTipSuppressRtdAction)
        .checked()
        .at(gridLayout_3, 2, 0);
    MAKE(ckbRwNdefAutoRead, read)
        .text("Auto read")
        .tip(kTipAutoRead)
        .checked()
        .at(gridLayout_3, 3, 0);
    vSpacer(gridLayout_3, 4, 0);

    MAKE(gboRwNdefWrite, pagRwNdef)
        .text("Write")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_7)
        .in(verticalLayout_2);
    const NdefEditorSlots editor{
        .variant = NdefEditorSlots::Variant::ReadWrite,
        .tabs = FORM_SLOT(tabRwNdefWrite),
        .textPage = FORM_SLOT(pagRwNdefWriteRtdText),
        .textLanguageLabel = FORM_SLOT(lblRwNdefRtdTextLanguageCode),
        .textLanguage = FORM_SLOT(cboRwNdefWriteRtdTextLanguageCode),
        .textTextLabel = FORM_SLOT(lblRwNdefRtdTextText),
        .textText = FORM_SLOT(tedRwNdefWriteRtdTextText),
        .uriPage = FORM_SLOT(pagRwNdefWriteRtdUri),
        .uriPrefixLabel = FORM_SLOT(lblRwNdefWriteRtdUriPrefix),
        .uriPrefix = FORM_SLOT(cboRwNdefWriteRtdUriPrefix),
        .uriUriLabel = FORM_SLOT(lblRwNdefWriteRtdUriUri),
        .uriUri = FORM_SLOT(ledRwNdefWriteRtdUriUri),
        .posterPage = FORM_SLOT(pagRwNdefWriteRtdSmartPoster),
        .posterLanguageLabel = FORM_SLOT(lblRwNdefWriteRtdSmartPosterLanguageCode),
        .posterLanguage = FORM_SLOT(cboRwNdefWriteRtdSmartPosterLanguageCode),
        .posterUriLabel = FORM_SLOT(lblRwNdefWriteRtdSmartPosterUri),
        .posterUri = FORM_SLOT(ledRwNdefWriteRtdSmartPosterUri),
        .posterTextLabel = FORM_SLOT(lblRwNdefWriteRtdSmartPosterText),
        .posterText = FORM_SLOT(tedRwNdefWriteRtdSmartPosterText),
        .vcardPage = FORM_SLOT(pagRwNdefWriteVcard),
        .vcard = {{FORM_SLOT(lblRwNdefWriteVcardTitle), FORM_SLOT(ledRwNdefWriteVcardTitle)},
                  {FORM_SLOT(lblRwNdefWriteVcardFirstName), FORM_SLOT(ledRwNdefWriteVcardFirstName)},
                  {FORM_SLOT(lblRwNdefWriteVcardJobTitle), FORM_SLOT(ledRwNdefWriteVcardJobTitle)},
                  {FORM_SLOT(lblRwNdefWriteVcardLastName_2), FORM_SLOT(ledRwNdefWriteVcardLastName)},
                  {FORM_SLOT(lblRwNdefWriteVcardPhone), FORM_SLOT(ledRwNdefWriteVcardPhone)},
                  {FORM_SLOT(lblRwNdefWriteVcardMobile), FORM_SLOT(ledRwNdefWriteVcardMobile)},
                  {FORM_SLOT(lblRwNdefWriteVcardEmail), FORM_SLOT(ledRwNdefWriteVcardEmail)},
                  {FORM_SLOT(lblRwNdefWriteVcardCompany), FORM_SLOT(ledRwNdefWriteVcardCompany)},
                  {FORM_SLOT(lblRwNdefWriteVcardCountry), FORM_SLOT(ledRwNdefWriteVcardCountry)},
                  {FORM_SLOT(lblRwNdefWriteVcardCity), FORM_SLOT(ledRwNdefWriteVcardCity)},
                  {FORM_SLOT(lblRwNdefWriteVcardUrl), FORM_SLOT(ledRwNdefWriteVcardUrl)},
                  {FORM_SLOT(lblRwNdefWriteVcardCode), FORM_SLOT(ledRwNdefWriteVcardCode)},
                  {FORM_SLOT(lblRwNdefWriteVcardStreet), FORM_SLOT(ledRwNdefWriteVcardStreet)}},
        .vcardSave = FORM_SLOT(btnRwNdefWriteVcardSave),
        .vcardLoad = FORM_SLOT(btnRwNdefWriteVcardLoad),
        .mimePage = FORM_SLOT(pagRwNdefWriteMime),
        .mimeUriLabel = FORM_SLOT(lblRwNdefWriteMimeUri),
        .mimeUri = FORM_SLOT(ledRwNdefWriteMimeUri),
        .mimeSelectImage = FORM_SLOT(btnRwNdefWriteMimeSelectImage),
    };
    setupNdefEditor(editor, gboRwNdefWrite, gridLayout_7);
    MAKE(gboRwNdefWriteControl, gboRwNdefWrite)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .LAYOUT(gridLayout_11)
        .at(gridLayout_7, 0, 1);
    QGroupBox* write = gboRwNdefWriteControl;
    MAKE(btnRwNdefWrite, write)
        .text("Write")
        .tip("Write selected NDEF content to detected tag")
        .fixedButton()
        .at(gridLayout_11, 0, 0);
    MAKE(btnRwNdefFormat, write)
        .text("Format")
        .tip(kTipFormatNdef)
        .fixedButton()
        .at(gridLayout_11, 1, 0);
    MAKE(btnRwNdefErase, write)
        .text("Erase")
        .tip(kTipErase)
        .fixedButton()
        .at(gridLayout_11, 2, 0);
    vSpacer(gridLayout_11, 3, 0);
}
