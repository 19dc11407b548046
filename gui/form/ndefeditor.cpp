// The NDEF editor that the form holds three times (R/W, SNEP client, card emulation), and the
// NDEF tree shared by the R/W and SNEP receive boxes.

#include "lumaroform.h"

#include "corvane.h"

#include <QHeaderView>

namespace {

// The index is the one the window maps to a record's language code.
constexpr const char* kLanguages[] = {"English", "German",  "French",  "Spanish", "Portuguese",
                                      "Chinese", "Japanese", "Korean",  "Russian", "Polish",
                                      "Swedish", "Finnish", "Norwegian", "Hebrew", "Turkish"};

// The item index equals the URI identifier code; item 0 stands for no abbreviation.
#define URI_PREFIX_ITEM(code, text) text,
constexpr const char* kUriPrefixes[] = {NDEF_URI_PREFIXES(URI_PREFIX_ITEM)};
#undef URI_PREFIX_ITEM
static_assert(std::size(kUriPrefixes) == 36);

// The default document of a rich-text edit, holding one paragraph.
#define RICH_TEXT(paragraph)                                                                                       \
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"          \
    "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"                             \
    "p, li { white-space: pre-wrap; }\n"                                                                           \
    "</style></head><body style=\" font-family:'MS Shell Dlg 2'; font-size:8.25pt; font-weight:400; "             \
    "font-style:normal;\">\n"                                                                                      \
    "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; "      \
    "text-indent:0px;\"><span style=\" font-size:8pt;\">" paragraph "</span></p></body></html>"

struct VcardCell {
    int row, column, columnSpan;  // of the line edit; its label stands one column to the left
};
struct VcardField {
    const char* label;
    const char* sample;  // an obviously fictitious contact
    VcardCell full;      // R/W and card-emulation pages
    VcardCell snep;      // the smaller SNEP page (row -1: the field is absent)
};
constexpr VcardField kVcardFields[NdefEditorSlots::VcardFieldCount] = {
    {"Title:", "", {1, 1, 1}, {-1, 0, 0}},
    {"First name:", "NFC", {1, 3, 1}, {0, 1, 1}},
    {"Job title:", "", {2, 1, 1}, {-1, 0, 0}},
    {"Last name:", "Expert", {2, 3, 1}, {1, 1, 1}},
    {"Phone:", "+1 555 0100", {3, 1, 1}, {2, 1, 1}},
    {"Mobile:", "", {3, 3, 1}, {-1, 0, 0}},
    {"E-Mail:", "nfc.expert@example.com", {3, 5, 2}, {3, 1, 1}},
    {"Company:", "Marveld Example Inc.", {4, 1, 1}, {0, 3, 3}},
    {"Country:", "Exampleland", {4, 3, 1}, {3, 5, 1}},
    {"City:", "Springfield", {4, 5, 2}, {3, 3, 1}},
    {"URL:", "http://www.example.com", {5, 1, 1}, {1, 3, 3}},
    {"Code:", "12345", {5, 3, 1}, {2, 5, 1}},
    {"Street:", "1 Example Street", {5, 5, 2}, {2, 3, 1}},
};

QGridLayout* pageGrid(QWidget* page) { return new QGridLayout(page); }

}  // namespace

void Ui_CLumaro::setupNdefEditor(const NdefEditorSlots& e, QWidget* parent, QGridLayout* grid) {
    CFormMake(texts, e.tabs, parent).at(grid, 0, 0);
    QTabWidget* tabs = *e.tabs.member;
    tabs->setTabPosition(QTabWidget::North);
    setupNdefEditorTextPages(e);
    setupNdefEditorVcard(e);
    setupNdefEditorMime(e);
}

void Ui_CLumaro::setupNdefEditorTextPages(const NdefEditorSlots& e) {
    QTabWidget* tabs = *e.tabs.member;
    const bool snep = e.variant == NdefEditorSlots::Variant::Snep;

    QWidget* page = CFormMake(texts, e.textPage, nullptr).get();
    texts.add(tabs, CFormTexts::Role::TabText, "RTD Text", tabs->addTab(page, QString()));
    QGridLayout* grid = pageGrid(page);
    CFormMake(texts, e.textLanguageLabel, page).text("Lang. code:").at(grid, 0, 0);
    CFormMake(texts, e.textLanguage, page)
        .items(kLanguages)
        .policy(QSizePolicy::Fixed, QSizePolicy::Fixed)
        .minWidth(121)
        .at(grid, 0, 1);
    CFormMake(texts, e.textTextLabel, page).text("Text:").at(grid, 1, 0);
    CFormMake(texts, e.textText, page).html(RICH_TEXT("NFC powered by Marveld")).at(grid, 1, 1);

    page = CFormMake(texts, e.uriPage, nullptr).get();
    texts.add(tabs, CFormTexts::Role::TabText, "RTD URI", tabs->addTab(page, QString()));
    grid = pageGrid(page);
    CFormMake(texts, e.uriPrefixLabel, page).text("Prefix:").at(grid, 0, 0);
    auto prefix = CFormMake(texts, e.uriPrefix, page).items(kUriPrefixes).minWidth(124).at(grid, 0, 1);
    if (snep) prefix.maxWidth(124);
    CFormMake(texts, e.uriUriLabel, page).text("URI:").at(grid, 0, 2);
    CFormMake(texts, e.uriUri, page).text("example.com").at(grid, 0, 3);
    if (snep) {
        vSpacer(grid, 1, 0, 156, 1, 4);
    } else {
        vSpacer(grid, 1, 3, 156);
    }

    page = CFormMake(texts, e.posterPage, nullptr).get();
    texts.add(tabs, CFormTexts::Role::TabText, "RTD Smart Poster", tabs->addTab(page, QString()));
    grid = pageGrid(page);
    CFormMake(texts, e.posterLanguageLabel, page).text("Lang. code:").at(grid, 0, 0);
    CFormMake(texts, e.posterLanguage, page)
        .items(kLanguages)
        .policy(QSizePolicy::Fixed, QSizePolicy::Fixed)
        .minWidth(121)
        .at(grid, 0, 1);
    CFormMake(texts, e.posterUriLabel, page).text("URI:").at(grid, 0, 2);
    CFormMake(texts, e.posterUri, page).text("http://www.example.com/nfc").at(grid, 0, 3);
    CFormMake(texts, e.posterTextLabel, page).text("Text:").at(grid, 1, 0);
    CFormMake(texts, e.posterText, page)
        .html(RICH_TEXT("Check this out - NFC powered by Marveld!"))
        .at(grid, 1, 1, 1, 3);
}

void Ui_CLumaro::setupNdefEditorVcard(const NdefEditorSlots& e) {
    QTabWidget* tabs = *e.tabs.member;
    const bool snep = e.variant == NdefEditorSlots::Variant::Snep;
    QWidget* page = CFormMake(texts, e.vcardPage, nullptr).get();
    texts.add(tabs, CFormTexts::Role::TabText, "VCard", tabs->addTab(page, QString()));
    QGridLayout* grid = pageGrid(page);
    for (int i = 0; i < NdefEditorSlots::VcardFieldCount; ++i) {
        const VcardField& f = kVcardFields[i];
        const VcardCell& cell = snep ? f.snep : f.full;
        if (cell.row < 0) continue;
        CFormMake(texts, e.vcard[i].label, page)
            .text(f.label)
            .policy(QSizePolicy::Fixed, QSizePolicy::Fixed)
            .at(grid, cell.row, cell.column - 1);
        auto edit = CFormMake(texts, e.vcard[i].edit, page).policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        if (*f.sample) edit.text(f.sample);
        edit.at(grid, cell.row, cell.column, 1, cell.columnSpan);
        if (i == NdefEditorSlots::FirstName && e.variant == NdefEditorSlots::Variant::ReadWrite) {
            CFormMake(texts, e.vcardSave, page).text("Save").fixedButton().at(grid, 1, 5);
            CFormMake(texts, e.vcardLoad, page).text("Load").fixedButton().at(grid, 1, 6);
        }
    }
    if (snep) {
        vSpacer(grid, 4, 3);
        return;
    }
    // Keep row 0 and the cell beside the buttons empty.
    vSpacer(grid, 6, 3);
    fixedSpacer(grid, 0, 1, 20, 0);
    fixedSpacer(grid, 0, 3, 20, 0);
    fixedSpacer(grid, 2, 5, 20, 15, 1, 2);
}

void Ui_CLumaro::setupNdefEditorMime(const NdefEditorSlots& e) {
    QTabWidget* tabs = *e.tabs.member;
    QWidget* page = CFormMake(texts, e.mimePage, nullptr).get();
    texts.add(tabs, CFormTexts::Role::TabText, "MIME", tabs->addTab(page, QString()));
    QGridLayout* grid = pageGrid(page);
    CFormMake(texts, e.mimeUriLabel, page).text("URI:").at(grid, 0, 0);
    CFormMake(texts, e.mimeUri, page).at(grid, 0, 1);
    CFormMake(texts, e.mimeSelectImage, page).text("Select image").fixedButton().at(grid, 0, 2);
    vSpacer(grid, 1, 1, 145);
}

void Ui_CLumaro::setupNdefTree(QTreeWidget* tree) {
    static constexpr const char* kHeaders[] = {"Level", "Index", "TNF", "Type", "Code", "Content"};
    tree->setFrameShadow(QFrame::Sunken);
    tree->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    tree->setAlternatingRowColors(true);
    tree->setIconSize(QSize(400, 400));
    tree->setRootIsDecorated(false);
    tree->setItemsExpandable(true);
    tree->setWordWrap(true);
    tree->setColumnCount(int(std::size(kHeaders)));
    tree->header()->setCascadingSectionResizes(false);
    tree->header()->setDefaultSectionSize(60);
    tree->header()->setMinimumSectionSize(25);
    for (int column = 0; column < int(std::size(kHeaders)); ++column) {
        texts.add(tree, CFormTexts::Role::Header, kHeaders[column], column);
    }
}
