// Page 5: the card-emulation log over the card-emulation copy of the NDEF editor.

#include "lumaroform.h"

void Ui_CLumaro::setupCePage() {
    addPage(pagCeNdefIso14443ABFelica, "pagCeNdefIso14443ABFelica", "CE: NDEF ISO 14443A/B/FeliCa")->setEnabled(false);
    ADD_LAYOUT(verticalLayout, pagCeNdefIso14443ABFelica);
    MAKE(gboCeLog, pagCeNdefIso14443ABFelica)
        .text("Log")
        .policy(QSizePolicy::Preferred, QSizePolicy::Minimum)
        .LAYOUT(gridLayout_17)
        .in(verticalLayout);
    MAKE(tedCeLog, gboCeLog).readOnly().at(gridLayout_17, 0, 0);
    MAKE(gboCeNdefModify, pagCeNdefIso14443ABFelica)
        .text("Modify emulation")
        .policy(QSizePolicy::Preferred, QSizePolicy::Fixed)
        .LAYOUT(gridLayout_46)
        .in(verticalLayout);
    const NdefEditorSlots editor{
        .variant = NdefEditorSlots::Variant::CardEmulation,
        .tabs = FORM_SLOT(tabCeNdefModify),
        .textPage = FORM_SLOT(pagCeNdefModifyRtdText),
        .textLanguageLabel = FORM_SLOT(lblCeNdefModifyRtdTextLanguageCode),
        .textLanguage = FORM_SLOT(cboCeNdefModifyRtdTextLanguageCode),
        .textTextLabel = FORM_SLOT(lblCeNdefModifyRtdTextText),
        .textText = FORM_SLOT(tedCeNdefModifyRtdTextText),
        .uriPage = FORM_SLOT(pagCeNdefModifyRtdUri),
        .uriPrefixLabel = FORM_SLOT(lblCeNdefModifyRtdUriPrefix),
        .uriPrefix = FORM_SLOT(cboCeNdefModifyRtdUriPrefix),
        .uriUriLabel = FORM_SLOT(lblCeNdefModifyRtdUriUri),
        .uriUri = FORM_SLOT(ledCeNdefModifyRtdUriUri),
        .posterPage = FORM_SLOT(pagCeNdefModifyRtdSmartPoster),
        .posterLanguageLabel = FORM_SLOT(lblCeNdefModifyRtdSmartPosterLanguageCode),
        .posterLanguage = FORM_SLOT(cboCeNdefModifyRtdSmartPosterLanguageCode),
        .posterUriLabel = FORM_SLOT(lblCeNdefModifyRtdSmartPosterUri),
        .posterUri = FORM_SLOT(ledCeNdefModifyRtdSmartPosterUri),
        .posterTextLabel = FORM_SLOT(lblCeNdefModifyRtdSmartPosterText),
        .posterText = FORM_SLOT(tedCeNdefModifyRtdSmartPosterText),
        .vcardPage = FORM_SLOT(pagCeNdefModifyVcard),
        .vcard = {{FORM_SLOT(lblCeNdefModifyVcardTitle), FORM_SLOT(ledCeNdefModifyVcardTitle)},
                  {FORM_SLOT(lbCeNdefModifyVcardFirstName), FORM_SLOT(ledCeNdefModifyVcardFirstName)},
                  {FORM_SLOT(lblCeNdefModifyVcardJobTitle), FORM_SLOT(ledCeNdefModifyVcardJobTitle)},
                  {FORM_SLOT(lblCeNdefModifyVcardLastName), FORM_SLOT(ledCeNdefModifyVcardLastName)},
                  {FORM_SLOT(lblCeNdefModifyVcardPhone), FORM_SLOT(ledCeNdefModifyVcardPhone)},
                  {FORM_SLOT(lblCeNdefModifyVcardMobile), FORM_SLOT(ledCeNdefModifyVcardMobile)},
                  {FORM_SLOT(lbCeNdefModifyVcardEmail), FORM_SLOT(ledCeNdefModifyVcardEmail)},
                  {FORM_SLOT(lblCeNdefModifyVcardCompany), FORM_SLOT(ledCeNdefModifyVcardCompany)},
                  {FORM_SLOT(lblCeNdefModifyVcardCountry), FORM_SLOT(ledCeNdefModifyVcardCountry)},
                  {FORM_SLOT(lblCeNdefModifyVcardCity), FORM_SLOT(ledCeNdefModifyVcardCity)},
                  {FORM_SLOT(lblCeNdefModifyVcardUrl), FORM_SLOT(ledCeNdefModifyVcardUrl)},
                  {FORM_SLOT(lblCeNdefModifyVcardCode), FORM_SLOT(ledCeNdefModifyVcardCode)},
                  {FORM_SLOT(lblCeNdefModifyVcardStreet), FORM_SLOT(ledCeNdefModifyVcardStreet)}},
        .vcardSave = {},
        .vcardLoad = {},
        .mimePage = FORM_SLOT(pagCeNdefModifyMime),
        .mimeUriLabel = FORM_SLOT(lblCeNdefModifyMimeUri),
        .mimeUri = FORM_SLOT(ledCeNdefModifyMimeUri),
        .mimeSelectImage = FORM_SLOT(btnCeNdefModifyMimeSelectImage),
    };
    setupNdefEditor(editor, gboCeNdefModify, gridLayout_46);
    MAKE(gboCeNdefModifyControl, gboCeNdefModify)
        .text("Control")
        .policy(QSizePolicy::Fixed, QSizePolicy::Preferred)
        .LAYOUT(gridLayout_47)
        .at(gridLayout_46, 0, 1);
    MAKE(btnCeNdefModifySave, gboCeNdefModifyControl)
        .text("Save")
        .tip("Save selected NDEF content to emulated tag")
        .fixedButton()
        .at(gridLayout_47, 0, 0);
    MAKE(btnCeNdefModifyLoad, gboCeNdefModifyControl)
        .text("Load")
        .tip("Load current content of the emulated tag")
        .fixedButton()
        .at(gridLayout_47, 1, 0);
    vSpacer(gridLayout_47, 2, 0);
}
