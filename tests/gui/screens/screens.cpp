// Pictures of Lumaro for a person to look at (./build.sh screens): the real window under an X
// display, on the real libCorvane.so beside this program and the simulated NCI controller in
// this process, started from a first run's settings file. NFC and RW are started and the
// simulated tag is detected, then each row of kShots brings the window into its state and the
// picture goes to <folder>/<name>.png (the folder is the first argument). The exit status is the
// number of rows that failed.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QSettings>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "appfont.h"
#include "clumaro.h"
#include "cnfccapabilitycontainer.h"
#include "metatypes.h"
#include "llcp/llcp_peer.h"
#include "peers/remote_poller.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
#include "real_run.h"
#include "tags/ndef_image.h"
#include "tags/nfc_dep_target.h"

namespace {

constexpr uint8_t kUicc = 0x02, kEse = 0x10;

// The controller holds a UICC, switched off, and an eSE that answers APDUs; its maker (0x02)
// names itself and is known to keep the UICC at NFCEE 2.
ncisim::NciIdentity withSecureElements() {
    ncisim::NciIdentity id = ncisim::NciIdentity::withDefaultParameters();
    id.manufacturer = 0x02;
    ncisim::NfceeInfo uicc;
    uicc.id = kUicc;
    uicc.status = 0x01;
    ncisim::NfceeInfo ese;
    ese.id = kEse;
    id.nfcees = {uicc, ese};
    return id;
}

// The tag is NDEF-formatted (capability container: version 1.0, 48 bytes, read and write) and
// holds a Text record, which the window reads when it sees the tag.
void holdText(simtags::T2tTag& tag) {
    const uint8_t container[] = {0xE1, 0x10, 0x06, 0x00};
    std::copy(std::begin(container), std::end(container), tag.memory.begin() + 12);
    const simtags::Bytes text = {0xD1, 0x01, 0x0C, 0x54, 0x02, 'e', 'n', 'C', 'o', 'r', 'v', 'a', 'n', 'e', ' ', 'T', '2'};
    const simtags::Bytes tlv = simtags::ndefTlv(text);
    std::copy(tlv.begin(), tlv.end(), tag.memory.begin() + 16);
}

class Screens {
public:
    Screens(RealRun& run, CLumaro& window) : run(run), window(window) {}

    // A page of the interaction tabs, made current: the whole window is pictured.
    QWidget* page(const char* name) {
        auto* tabs = RealRun::widget<QTabWidget>(&window, "tabInteraction");
        QWidget* shown = RealRun::widget<QWidget>(&window, name);
        if (!tabs || !shown || tabs->indexOf(shown) < 0) return nullptr;
        tabs->setCurrentWidget(shown);
        return &window;
    }
    // A page the window keeps out of its tabs, pictured alone at the tabs' size.
    QWidget* hiddenPage(const char* name) {
        auto* tabs = RealRun::widget<QTabWidget>(&window, "tabInteraction");
        QWidget* shown = RealRun::widget<QWidget>(&window, name);
        if (!tabs || !shown) return nullptr;
        shown->resize(tabs->currentWidget()->size());
        return shown;
    }
    // The dialog that a button of the window opens, placed over the window.
    QWidget* dialogOf(const char* button, const char* className) {
        if (!RealRun::click(&window, button)) return nullptr;
        return overTheWindow(RealRun::shownDialog(className));
    }
    QWidget* overTheWindow(QWidget* dialog) {
        if (!dialog) return nullptr;
        dialog->show();
        dialog->move(window.frameGeometry().center() - dialog->rect().center());
        return QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
    }
    // The I/O page after a get-parameter request that the controller answered.
    QWidget* ioAnswer() {
        auto* pdu = RealRun::widget<QLineEdit>(&window, "ledIoPdu");
        if (!pdu) return nullptr;
        pdu->setText(QLatin1String(RealRun::kGetParameterRequest));
        if (!RealRun::click(&window, "btnIoSendPdu")) return nullptr;
        return hiddenPage("pagIo");
    }
    // A box the window keeps hidden, drawn alone at its own size.
    QWidget* hiddenBox(const char* name) {
        QWidget* box = RealRun::widget<QWidget>(&window, name);
        if (!box) return nullptr;
        box->adjustSize();
        return box;
    }
    // The embedded-SE page after the eSE was opened and answered a SELECT; the reader stops
    // first, since the controller opens no SE while it polls.
    QWidget* embeddedSe() {
        if (!RealRun::click(&window, "btnRwStop")) return nullptr;
        auto* id = RealRun::widget<QComboBox>(&window, "cboSeControlId");
        auto* pdu = RealRun::widget<QLineEdit>(&window, "ledSePdu");
        if (!id || !pdu || id->findText(QString::number(kEse)) < 0) return nullptr;
        id->setCurrentText(QString::number(kEse));
        pdu->setText(QStringLiteral("00 A4 04 00 05 A0 00 00 00 03"));
        if (!QMetaObject::invokeMethod(&window, "on_btnSeOpenEse_clicked") ||
            !QMetaObject::invokeMethod(&window, "on_btnSeExchangePdu_clicked"))
            return nullptr;
        QCoreApplication::processEvents();
        return hiddenPage("pagEmbeddedSe");
    }
    // Until the card-emulation page opens it, the dialog is opened on the window's settings file.
    QWidget* capabilityContainer() {
        containerSettings = std::make_unique<QSettings>(RealRun::iniPath(), QSettings::IniFormat);
        auto* dialog = new CNfcCapabilityContainer(nullptr, containerSettings.get());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        return overTheWindow(dialog);
    }

    // The legacy page after a READ of the first pages of a tag without NDEF: the Text tag leaves,
    // and comes back blank once RW, which the SE rows ended, runs again.
    QWidget* legacyExchange() {
        auto* pdu = RealRun::widget<QLineEdit>(&window, "ledRwLegacyPdu");
        QWidget* legacy = RealRun::widget<QWidget>(&window, "pagRwLegacy");
        if (!pdu || !legacy) return nullptr;
        run.tagLeaves();
        run.sim.call([&](ncisim::Controller&) { std::fill(run.tag->memory.begin() + 12, run.tag->memory.end(), 0); });
        run.skipCommands();
        if (!RealRun::click(&window, "btnRwStart") || !run.tagEntersDuringDiscovery() ||
            !QTest::qWaitFor([&] { return legacy->isEnabled(); }, RealRun::kBoundedMs) || !page("pagRwLegacy"))
            return nullptr;
        pdu->setText(QStringLiteral("30 00"));
        return RealRun::click(&window, "btnRwLegacyExchangePdu") ? &window : nullptr;
    }
    // The raw LLCP page with P2P started and listener 1 ready.
    QWidget* llcpListener() {
        auto* tabs = RealRun::widget<QTabWidget>(&window, "tabP2p");
        QWidget* llcp = RealRun::widget<QWidget>(&window, "pagP2pMarveldApi");
        if (!tabs || !llcp || !page("pagP2p")) return nullptr;
        tabs->setCurrentWidget(llcp);
        if (!RealRun::click(&window, "btnP2pStart") || !RealRun::click(&window, "btnP2pStartListener1")) return nullptr;
        return &window;
    }
    // The SNEP page after an NFC-DEP peer put a Smart Poster to the window's SNEP server; the
    // tag leaves, RW and P2P stop, P2P starts again polling a passive target, then the server,
    // which the library takes only from an application that listens for P2P.
    QWidget* snepReceived() {
        run.tagLeaves();
        for (const char* button : {"btnRwStop", "btnP2pStop"}) RealRun::click(&window, button);
        for (const char* box : {"ckbP2pTargetPassive", "ckbP2pTargetActive", "ckbP2pInitiatorActive"})
            RealRun::widget<QCheckBox>(&window, box)->setChecked(false);
        RealRun::widget<QCheckBox>(&window, "ckbP2pInitiatorPassive")->setChecked(true);
        auto* server = RealRun::widget<QCheckBox>(&window, "ckbP2pServiceSnepServer");
        if (!server || !RealRun::click(&window, "btnP2pStart")) return nullptr;
        server->setChecked(false);
        // On its box: a check box takes a click only on its indicator and text.
        QTest::mouseClick(server, Qt::LeftButton, {}, QPoint(server->height() / 2, server->height() / 2));
        peer.listen(kSnepSap, "urn:nfc:sn:snep", 2);
        target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
        target->onFrame = simpeers::carry(peer, {&peerClient});
        run.sim.rf().enter(target);
        const simtags::Bytes poster = {0xD1, 0x02, 0x21, 'S',  'p',  0x91, 0x01, 0x0D, 'T', 0x02, 'e',
                                       'n',  'L',  'u',  'm',  'a',  'r',  'o',  ' ',  'N', 'F',  'C',
                                       0x51, 0x01, 0x0C, 'U',  0x04, 'e',  'x',  'a',  'm', 'p',  'l',
                                       'e',  '.',  'o',  'r',  'g'};
        auto* tree = RealRun::widget<QTreeWidget>(&window, "twtP2pSnepReceive");
        if (!tree || !QTest::qWaitFor([&] { return !RealRun::widget<QLineEdit>(&window, "ledDeviceType")->text().isEmpty(); },
                                      RealRun::kBoundedMs))
            return nullptr;
        run.sim.call([&](ncisim::Controller&) { peerClient.put(peer, poster); });
        if (!QTest::qWaitFor([&] { return tree->topLevelItemCount() > 0; }, RealRun::kBoundedMs)) return nullptr;
        return page("pagP2p");
    }
    // The card-emulation page's log after a reader on NFC-A selected the NDEF application and
    // read the container and the generic Text; the peer leaves and P2P stops first.
    QWidget* ceLog() {
        run.sim.rf().leave(target);
        for (const char* box : {"ckbCeIso14443B", "ckbCeFelica"}) RealRun::widget<QCheckBox>(&window, box)->setChecked(false);
        RealRun::widget<QCheckBox>(&window, "ckbCeIso14443A")->setChecked(true);
        if (!QTest::qWaitFor([&] { return RealRun::widget<QLineEdit>(&window, "ledDeviceType")->text().isEmpty(); },
                             RealRun::kBoundedMs) ||
            !RealRun::click(&window, "btnP2pStop") || !RealRun::click(&window, "btnCeStart"))
            return nullptr;
        reader = simpeers::RemotePoller::reader(simtags::Technology::A);
        reader->log.toSend = {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00},
                              {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03},
                              {0x00, 0xB0, 0x00, 0x00, 0x0F},
                              {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04},
                              {0x00, 0xB0, 0x00, 0x00, 0x40}};
        run.sim.rf().approach(reader);
        auto* log = RealRun::widget<QTextEdit>(&window, "tedCeLog");
        const QString dashes(160, QLatin1Char('-'));
        if (!log || !QTest::qWaitFor([&] { return log->toPlainText().count(dashes) >= 5; }, RealRun::kBoundedMs))
            return nullptr;
        return page("pagCeNdefIso14443ABFelica");
    }

    RealRun& run;
    CLumaro& window;
    std::unique_ptr<QSettings> containerSettings;
    // The NFC-DEP peer with its SNEP client, and the reader of the emulated tag.
    static constexpr uint8_t kSnepSap = 4, kPeerClientSap = 0x21;
    llcpsim::Peer peer{llcpsim::Role::Target};
    simpeers::SnepClientPeer peerClient{kPeerClientSap};
    std::shared_ptr<simtags::NfcDepTarget> target;
    simpeers::PollerPtr reader;
};

// The pictures, one row each, taken in this order after NFC and RW started and the tag was
// detected: the file's name, and the step that brings the window into the state to show. The
// step returns the widget to picture, or null when the state could not be reached. A window
// (the main one or a dialog) is taken from the screen with the main window around it; any other
// widget is drawn alone. Dialogs still open after their picture are closed.
// A page's issue adds its row: e.g. {"ndef", [](Screens& s) { return s.page("pagRwNdef"); }}.
struct Shot {
    const char* name;
    QWidget* (*prepare)(Screens&);
};
const Shot kShots[] = {
    {"technology", [](Screens& s) { return s.page("pagTechnology"); }},
    {"log", [](Screens& s) { return s.page("pagLog"); }},
    {"ndef", [](Screens& s) { return s.page("pagRwNdef"); }},
    {"se_slots", [](Screens& s) { return s.hiddenBox("gboSe"); }},
    {"embedded_se", [](Screens& s) { return s.embeddedSe(); }},
    {"io", [](Screens& s) { return s.ioAnswer(); }},
    {"controller_configuration", [](Screens& s) { return s.dialogOf("btnConfigure", "CNfcControllerConfiguration"); }},
    {"trace_flags", [](Screens& s) { return s.dialogOf("btnTrace", "CNfcTraceFlags"); }},
    {"capability_container", [](Screens& s) { return s.capabilityContainer(); }},
    {"legacy", [](Screens& s) { return s.legacyExchange(); }},
    {"llcp", [](Screens& s) { return s.llcpListener(); }},
    {"snep_received", [](Screens& s) { return s.snepReceived(); }},
    {"ce_log", [](Screens& s) { return s.ceLog(); }},
};

QPixmap picture(QWidget* shown, QWidget* window) {
    if (!shown->isWindow()) return shown->grab();
    QCoreApplication::processEvents();
    const QRect area = window->frameGeometry().united(shown->frameGeometry());
    return window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
}

void closeDialogs(QWidget* window) {
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top != window && top->isVisible()) top->close();
    QCoreApplication::processEvents();
}

bool startNfcAndSeeTheTag(RealRun& run, QWidget* window) {
    if (!RealRun::click(window, "btnStartNfc")) return false;
    for (const char* box : {"ckbRwIso14443A", "ckbRwCheckNdef", "ckbRwAutoReadNdefOnIndication"})
        RealRun::widget<QCheckBox>(window, box)->setChecked(true);
    return RealRun::click(window, "btnRwStart") && run.tagEntersDuringDiscovery() &&
           RealRun::waitForLog(window, RealRun::tagLine());
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    useLumaroFont();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    registerMetaTypes();
    QFile::remove(RealRun::iniPath());   // the dialogs show their first-run states
    RealRun run(withSecureElements());
    if (!run.ok() || !QDir().mkpath(folder)) return 1;
    // The window readies the controller with the SWP wake-up before it opens an SE.
    run.sim.onCommand(0x2F08, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    holdText(*run.tag);
    run.storeConfiguration();
    auto window = std::make_unique<CLumaro>();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()) || !startNfcAndSeeTheTag(run, window.get())) {
        std::fprintf(stderr, "screens: NFC did not start or the tag was not seen\n");
        return 1;
    }
    Screens screens(run, *window);
    int failed = 0;
    for (const Shot& shot : kShots) {
        QWidget* shown = shot.prepare(screens);
        const QString file = QStringLiteral("%1/%2.png").arg(folder, QLatin1String(shot.name));
        const bool saved = shown && picture(shown, window.get()).save(file);
        std::printf("screens: %s %s\n", saved ? "wrote" : "FAILED", qPrintable(file));
        std::fflush(stdout);
        failed += saved ? 0 : 1;
        closeDialogs(window.get());
    }
    RealRun::click(window.get(), "btnStopNfc");
    return failed;
}
