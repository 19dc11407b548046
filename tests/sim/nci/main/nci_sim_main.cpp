// The simulated NCI controller as a program of its own, for running Lumaro without hardware: it
// prints the path of its pseudo-terminal, answers on it as the tests' simulator does, holds a
// UICC (switched off) and an embedded SE that answers APDUs, holds TOTAL_DURATION, which the I/O
// page's get-parameter request "01 00" reads, and plays one scenario:
//   (none) or "ndef"   an NTAG213-sized Type 2 tag holding a Text and a URI record stays in the
//                      field; each line on the standard input takes it away or brings it back;
//   "type2"            a blank Type 2 tag enters and leaves the field every few seconds;
//   "mifare"           a factory-fresh MIFARE Classic 1K stays in the field before a controller of
//                      maker 0x04 (each input line takes it away or brings it back);
//   "p2p"              an NFC-DEP target stays in the field with an LLCP peer that listens on
//                      SAP 14, connects to the host's SAP 15 and then sends it 300 bytes each time;
//   "snep"             an NFC-DEP target comes and goes whose SNEP client puts a Smart Poster to
//                      the host's SNEP server and whose default SNEP server takes what the host pushes;
//   "reader"           an external reader on NFC-A comes and goes that selects the NDEF application
//                      and reads the emulated tag's container and the first bytes of its NDEF file.
// It runs until SIGINT, SIGTERM or SIGHUP. With --attached (the run command starts it so) it also
// ends when its standard input closes or its parent goes; otherwise a closed input only stops
// the lines.
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "llcp/llcp_peer.h"
#include "nci/nci_simulator.h"
#include "peers/nfc_dep.h"
#include "peers/remote_poller.h"
#include "peers/service_peer.h"
#include "peers/snep_peer.h"
#include "tags/mifare_tag.h"
#include "tags/ndef_image.h"
#include "tags/nfc_dep_target.h"
#include "tags/t2t_tag.h"

namespace {

constexpr int kTagPeriodMs = 4000;
constexpr uint8_t kPeerSap = 0x20, kHostSap = 15, kPeerListenerSap = 14;
constexpr uint8_t kMakerStm = 0x02;   // whose NFCEE 0x02 is the UICC behind its SWP gateway
constexpr uint8_t kUiccId = 0x02, kEseId = 0x10;

// What the program waits for between its steps: a stop (a signal, or the input closing when
// attached), a line on the input, or the end of a period.
class CWaiter {
public:
    enum class Event { Stop, Line, Period };

    // The signals are blocked before any thread starts, so that only this waiter takes them.
    explicit CWaiter(bool attached) : attached_(attached) {
        sigset_t stops;
        sigemptyset(&stops);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        signals_ = signalfd(-1, &stops, SFD_CLOEXEC);
        if (attached) ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
    ~CWaiter() {
        if (signals_ >= 0) ::close(signals_);
    }

    // Waits at most periodMs (forever when negative).
    Event next(int periodMs) {
        for (;;) {
            if (lines_ > 0) {
                --lines_;
                return Event::Line;
            }
            pollfd watched[2] = {{signals_, POLLIN, 0}, {input_ ? STDIN_FILENO : -1, POLLIN, 0}};
            const int ready = ::poll(watched, 2, periodMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || watched[0].revents) return Event::Stop;
            if (ready == 0) return Event::Period;
            if (!readInput()) {
                input_ = false;
                if (attached_) return Event::Stop;
            }
        }
    }

private:
    // Counts the lines read; false once the input has closed.
    bool readInput() {
        char bytes[256];
        const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (n <= 0) return false;
        for (ssize_t k = 0; k < n; ++k) lines_ += bytes[k] == '\n';
        return true;
    }

    bool attached_;
    bool input_ = true;
    int signals_ = -1;
    int lines_ = 0;
};

void say(const char* text) {
    std::fprintf(stderr, "nci_sim: %s\n", text);
    std::fflush(stderr);
}

ncisim::NciIdentity withSecureElements(ncisim::NciIdentity id) {
    id.defaultParameters[0x00] = {0xE8, 0x03};   // TOTAL_DURATION
    ncisim::NfceeInfo uicc;
    uicc.id = kUiccId;
    uicc.status = 0x01;
    ncisim::NfceeInfo ese;
    ese.id = kEseId;
    id.nfcees = {uicc, ese};
    return id;
}

// A maker that names itself and whose NFCEE 0x02 is known to be the UICC.
ncisim::NciIdentity demoController() {
    ncisim::NciIdentity id = ncisim::NciIdentity::generic();
    id.manufacturer = kMakerStm;
    return id;
}

// "Welcome to Corvane" in English and https://example.org, on a formatted NTAG213 layout: 144
// bytes of data area, whose rest stays free for what the user writes.
std::shared_ptr<simtags::Tag> ndefTag() {
    auto tag = simtags::T2tTag::make(simtags::T2tTag::Chip::Ntag144, true);
    const simtags::Bytes message = {0x91, 0x01, 0x15, 'T', 0x02, 'e', 'n', 'W', 'e', 'l', 'c', 'o', 'm', 'e',
                                    ' ',  't',  'o',  ' ', 'C',  'o',  'r', 'v', 'a', 'n', 'e', 0x51, 0x01,
                                    0x0C, 'U',  0x04, 'e', 'x',  'a',  'm', 'p', 'l', 'e', '.', 'o', 'r', 'g'};
    const simtags::Bytes tlv = simtags::ndefTlv(message);
    std::copy(tlv.begin(), tlv.end(), tag->memory.begin() + 16);
    return tag;
}

std::shared_ptr<simtags::Tag> freshMifareClassic() {
    auto tag = std::make_shared<simtags::MifareTag>();
    simtags::makeFactoryFresh(*tag);
    return tag;
}

// The tag stays in the field until a line takes it away, and the next brings it back.
void stay(ncisim::NciSimulator& sim, CWaiter& waiter, const std::shared_ptr<simtags::Tag>& tag) {
    bool inField = true;
    sim.rf().enter(tag);
    if (::isatty(STDIN_FILENO)) say("Enter takes the tag away and brings it back, Ctrl-C ends");
    while (waiter.next(-1) == CWaiter::Event::Line) {
        inField = !inField;
        if (inField)
            sim.rf().enter(tag);
        else
            sim.rf().leave(tag);
        say(inField ? "the tag is back in the field" : "the tag has left the field");
    }
}

// Every period one step; until the program stops.
void everyPeriod(CWaiter& waiter, const std::function<void()>& step) {
    for (CWaiter::Event e; (e = waiter.next(kTagPeriodMs)) != CWaiter::Event::Stop;)
        if (e == CWaiter::Event::Period) step();
}

// A tag that enters and leaves the field.
void cycle(ncisim::NciSimulator& sim, CWaiter& waiter, const std::shared_ptr<simtags::Tag>& tag) {
    bool inField = false;
    everyPeriod(waiter, [&] {
        if (inField)
            sim.rf().leave(tag);
        else
            sim.rf().enter(tag);
        inField = !inField;
    });
}

// The peer stays; at each period it connects to the host's SAP 15, or sends on that connection.
void meetPeer(ncisim::NciSimulator& sim, CWaiter& waiter) {
    llcpsim::Peer peer(llcpsim::Role::Target);
    sim.call([&](ncisim::Controller&) { peer.listen(kPeerListenerSap, {}, 2); });
    auto target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
    target->onFrame = simpeers::carry(peer);
    sim.rf().enter(target);
    everyPeriod(waiter, [&] {
        sim.call([&](ncisim::Controller&) {
            const llcpsim::Endpoint* connection = peer.endpoint(kPeerSap);
            if (connection && connection->connected)
                peer.send(kPeerSap, llcpsim::Bytes(300, 0x5A));
            else if (!connection || !connection->connecting)
                peer.connect(kPeerSap, kHostSap, {}, 2);
        });
    });
    sim.rf().leave(target);
}

// A peer that meets the host anew at each visit, its LLCP and services fresh.
struct SnepVisitor {
    static constexpr uint8_t kSnepSap = 4, kClientSap = 0x21;
    llcpsim::Peer peer{llcpsim::Role::Target};
    simpeers::SnepServerPeer server{kSnepSap, simpeers::SnepServerPeer::Kind::Default};
    simpeers::SnepClientPeer client{kClientSap};
    std::shared_ptr<simtags::NfcDepTarget> target;

    SnepVisitor() {
        // "Lumaro NFC" in English and https://example.org.
        const simtags::Bytes poster = {0xD1, 0x02, 0x21, 'S', 'p', 0x91, 0x01, 0x0D, 'T', 0x02, 'e', 'n', 'L',
                                       'u',  'm',  'a',  'r', 'o', ' ',  'N',  'F',  'C', 0x51, 0x01, 0x0C, 'U',
                                       0x04, 'e',  'x',  'a', 'm', 'p',  'l',  'e',  '.', 'o',  'r',  'g'};
        peer.listen(kSnepSap, "urn:nfc:sn:snep", 2);
        client.put(peer, poster);
        target = std::make_shared<simtags::NfcDepTarget>(peer.activationBytes());
        target->onFrame = simpeers::carry(peer, {&server, &client});
    }
};

// A SNEP peer that comes and goes; each one is kept until the next comes, since the host's last
// frames may still reach it.
void visitBySnep(ncisim::NciSimulator& sim, CWaiter& waiter) {
    std::unique_ptr<SnepVisitor> visitor;
    bool inField = false;
    everyPeriod(waiter, [&] {
        if (inField) {
            sim.rf().leave(visitor->target);
        } else {
            sim.call([&](ncisim::Controller&) { visitor = std::make_unique<SnepVisitor>(); });
            sim.rf().enter(visitor->target);
        }
        inField = !inField;
    });
}

// A reader of a Type 4 tag that comes and goes: the NDEF application, the container and the
// first bytes of the NDEF file at each visit.
void visitByReader(ncisim::NciSimulator& sim, CWaiter& waiter) {
    bool inField = false;
    everyPeriod(waiter, [&] {
        if (inField) {
            sim.rf().departPoller();
        } else {
            auto reader = simpeers::RemotePoller::reader(simtags::Technology::A);
            reader->log.toSend = {{0x00, 0xA4, 0x04, 0x00, 0x07, 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01, 0x00},
                                  {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03},
                                  {0x00, 0xB0, 0x00, 0x00, 0x0F},
                                  {0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x04},
                                  {0x00, 0xB0, 0x00, 0x00, 0x40}};
            sim.rf().approach(reader);
        }
        inField = !inField;
    });
}

struct Scenario {
    const char* name;
    ncisim::NciIdentity (*controller)();
    void (*play)(ncisim::NciSimulator&, CWaiter&);
};

// MIFARE Classic commands need maker 0x04's own RF interface.
const Scenario kScenarios[] = {
    {"ndef", demoController, [](ncisim::NciSimulator& s, CWaiter& w) { stay(s, w, ndefTag()); }},
    {"type2", demoController, [](ncisim::NciSimulator& s, CWaiter& w) { cycle(s, w, std::make_shared<simtags::T2tTag>()); }},
    {"mifare", ncisim::NciIdentity::nxp, [](ncisim::NciSimulator& s, CWaiter& w) { stay(s, w, freshMifareClassic()); }},
    {"p2p", demoController, meetPeer},
    {"snep", demoController, visitBySnep},
    {"reader", demoController, visitByReader},
};

int usage(const char* program) {
    std::string names;
    for (const Scenario& s : kScenarios) names += std::string(names.empty() ? "" : "|") + s.name;
    std::fprintf(stderr, "usage: %s [--attached] [%s]\n", program, names.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool attached = false;
    const char* name = kScenarios[0].name;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--attached") == 0)
            attached = true;
        else if (k == argc - 1)
            name = argv[k];
        else
            return usage(argv[0]);
    }
    const Scenario* scenario = nullptr;
    for (const Scenario& s : kScenarios)
        if (std::strcmp(s.name, name) == 0) scenario = &s;
    if (!scenario) return usage(argv[0]);
    CWaiter waiter(attached);
    ncisim::NciSimulator sim(withSecureElements(scenario->controller()));
    if (!sim.ok()) return 1;
    // The SWP wake-up the desktop program sends before it opens an SE.
    sim.onCommand(0x2F08, [](ncisim::Controller& c, const ncisim::NciMessage&) { c.respond(0x4F08, {0x00}); });
    std::printf("%s\n", sim.portPath().c_str());
    std::fflush(stdout);
    scenario->play(sim, waiter);
    sim.stop();
    return 0;
}
