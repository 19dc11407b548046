#include "util/sm.h"

#include "util/trace.h"

SmEventClass SmEventNameTable[SM_EVENT_CLASSES] = {};

namespace {

constexpr char kSourcePath[] = "..\\..\\src\\nfc\\util\\sm";

// The four results that move the machine, in result order from SM_CHANGE on.
struct Move {
    const char* verb;
    bool toMaster;       // target is the master, else next
    bool exitFirst;      // the state left receives EV_SM_EXIT
    uint16_t arrival;    // what the new state receives
};

constexpr Move kMoves[] = {
    {"change state", false, true, EV_SM_ENTRY},
    {"change to substate", false, false, EV_SM_ENTRY},
    {"change to masterstate", true, true, EV_SM_RETURNED},
    {"error, change to masterstate", true, true, EV_SM_RETURNED_ERROR},
};

const char* prefixOf(const TStateMachine* m) { return m->tracePrefix ? m->tracePrefix : ""; }

// A handler that asks for a move without setting its target would leave the machine with no
// state at all; the move is refused and the machine stays where it is.
bool move(TStateMachine* m, const Move& mv, uint32_t* result) {
    SmHandler target = mv.toMaster ? m->master : m->next;
    if (!target) {
        DEBUG_BREAK(kSourcePath);
        return false;
    }
    TRACE(m->traceMask, "%s %s %s => %s", prefixOf(m), mv.verb, smStateName(m, m->current),
          smStateName(m, target));
    if (mv.exitFirst) m->current(m, EV_SM_EXIT);
    m->current = target;
    m->next = nullptr;
    if (mv.toMaster) m->master = nullptr;
    *result = target(m, mv.arrival);
    return true;
}

} // namespace

bool smRegisterEventNames(unsigned eventClass, uint16_t count, const char* const* names) {
    if (eventClass == 0 || eventClass >= SM_EVENT_CLASSES || (count && !names)) return false;
    SmEventNameTable[eventClass] = {count, count ? names : nullptr};
    return true;
}

void smInit(TStateMachine* m, SmHandler initial, SmHandler defaultHandler, void* owner,
            const SmStateEntry* stateTable, uint16_t stateCount, const char* tracePrefix,
            uint32_t traceMask) {
    *m = TStateMachine{};
    m->current = initial;
    m->defaultHandler = defaultHandler;
    m->owner = owner;
    m->stateTable = stateTable;
    m->stateCount = stateCount;
    m->tracePrefix = tracePrefix;
    m->traceMask = traceMask;
    m->ring = m->ringSlots;
    m->ringCapacity = SM_RING_SLOTS;
}

uint32_t smHandleEvent(TStateMachine* m, uint16_t event) {
    if (!m) return SM_BAD_MACHINE;
    if (debugOn(m->traceMask)) {
        const char* name = smEventName(event);
        if (*name) debugPrint(0, "%s handling %s in %s", prefixOf(m), name, smStateName(m, m->current));
        else debugPrint(0, "%s handling event %#x in state %s", prefixOf(m), event, smStateName(m, m->current));
    }
    if (!m->current) {
        DEBUG_BREAK(kSourcePath);
        return SM_DONE;
    }
    uint32_t r = m->current(m, event);
    bool fromDefault = false;
    for (unsigned moves = 0;;) {
        if (r == SM_NOT_HANDLED) {
            // A default handler that does not handle the event either ends it: asking it
            // again would only get the same answer.
            if (fromDefault || !m->defaultHandler || event == EV_SM_ENTRY || event == EV_SM_EXIT)
                return SM_DONE;
            r = m->defaultHandler(m, event);
            fromDefault = true;
            continue;
        }
        if (r < SM_CHANGE || r > SM_MASTER_ERROR) return SM_DONE;
        if (++moves > SM_MAX_MOVES) {
            // States that keep sending each other on would hold the worker thread for ever.
            TRACE(m->traceMask, "%s ! %u moves without settling in %s", prefixOf(m), moves - 1,
                  smStateName(m, m->current));
            DEBUG_BREAK(kSourcePath);
            m->next = nullptr;
            return SM_DONE;
        }
        const Move& mv = kMoves[r - SM_CHANGE];
        if (!move(m, mv, &r)) return SM_DONE;
        // The event that caused the move has been handled; what the new state leaves of its
        // arrival goes to the default handler, never the old event again.
        event = mv.arrival;
        fromDefault = false;
    }
}

uint32_t smPostEvent(TStateMachine* m, uint16_t event) {
    if (!m || !m->ring || m->ringPending >= m->ringCapacity) return 0;
    m->ring[m->ringWrite] = event;
    m->ringWrite = static_cast<uint16_t>((m->ringWrite + 1) % m->ringCapacity);
    ++m->ringPending;
    return 1;
}

// Events that handlers post while the ring drains are handled in the same drain.
// smHandleEvent fails only without a machine, so a drain always answers 0.
uint32_t smProcessEvents(TStateMachine* m) {
    if (!m) return SM_BAD_MACHINE;
    while (m->ringPending) {
        uint16_t event = m->ring[m->ringRead];
        m->ringRead = static_cast<uint16_t>((m->ringRead + 1) % m->ringCapacity);
        --m->ringPending;
        smHandleEvent(m, event);
    }
    return SM_DONE;
}

const char* smStateName(const TStateMachine* m, SmHandler handler) {
    if (!m || !handler || !m->stateTable) return "";
    for (uint16_t i = 0; i < m->stateCount; ++i)
        if (m->stateTable[i].handler == handler) return m->stateTable[i].name ? m->stateTable[i].name : "";
    return "";
}

const char* smEventName(uint16_t event) {
    unsigned eventClass = event >> 8;
    unsigned index = event & 0xFFu;
    if (eventClass == 0 || eventClass >= SM_EVENT_CLASSES) return "";
    const SmEventClass& c = SmEventNameTable[eventClass];
    if (index >= c.count || !c.names[index]) return "";
    return c.names[index];
}
