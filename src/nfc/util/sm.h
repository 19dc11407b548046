// The state-machine engine under the NFC manager, the NCI driver and the tag handlers.
// A state is a handler; its result tells the engine what to do next. After a move, what the
// new state leaves of its arrival goes to the default handler, never the event that caused the
// move; one event causes at most SM_MAX_MOVES moves. A machine is used only by its owner's task
// on the OS worker thread, so the engine takes no lock.
#pragma once

#include <cstdint>

struct TStateMachine;

// Handler results; any other value ends handling like SM_DONE.
enum : uint32_t {
    SM_DONE = 0,
    SM_NOT_HANDLED = 1,     // fall back to the default handler
    SM_CHANGE = 2,          // exit the current state, enter next
    SM_SUBSTATE = 3,        // enter next without leaving the current state
    SM_MASTER = 4,          // exit the current state, return to master
    SM_MASTER_ERROR = 5,    // as SM_MASTER, the master learns of an error
};

// Events the engine itself delivers.
enum : uint16_t {
    EV_SM_ENTRY = 0x100,
    EV_SM_EXIT = 0x101,
    EV_SM_RETURNED = 0x102,
    EV_SM_RETURNED_ERROR = 0x103,
};

constexpr uint32_t SM_BAD_MACHINE = 6;       // smHandleEvent without a machine
constexpr uint16_t SM_RING_SLOTS = 8;
constexpr unsigned SM_MAX_MOVES = 16;       // moves one event may cause before the engine stops it
constexpr unsigned SM_EVENT_CLASSES = 8;     // event >> 8 selects the class

using SmHandler = uint32_t (*)(TStateMachine* machine, uint16_t event);

struct SmStateEntry {
    SmHandler handler;
    const char* name;
};

struct TStateMachine {
    SmHandler current;
    SmHandler next;                 // set by a handler before it returns SM_CHANGE or SM_SUBSTATE
    SmHandler defaultHandler;       // may be empty
    SmHandler master;               // set by the handlers, cleared when returned to
    const SmStateEntry* stateTable;
    uint16_t stateCount;
    void* owner;
    const char* tracePrefix;
    uint16_t ringRead;
    uint16_t ringWrite;
    uint16_t* ring;
    uint16_t ringCapacity;
    uint16_t ringPending;
    uint32_t traceMask;             // bit of the NFC trace word that enables this machine's traces
    uint16_t ringSlots[SM_RING_SLOTS];
};

struct SmEventClass {
    uint16_t count;
    const char* const* names;       // indexed by the event's low byte
};

// One class per high byte of the event code; owners fill theirs when they initialise.
extern SmEventClass SmEventNameTable[SM_EVENT_CLASSES];

// Registers the names of one event class (1..7); count 0 clears it. False for a bad class.
bool smRegisterEventNames(unsigned eventClass, uint16_t count, const char* const* names);

// Clears the machine and sets it up with the ring of its own 8 slots. The owner then
// registers its event names and enters the initial state with smHandleEvent(m, EV_SM_ENTRY).
void smInit(TStateMachine* machine, SmHandler initial, SmHandler defaultHandler, void* owner,
            const SmStateEntry* stateTable, uint16_t stateCount, const char* tracePrefix,
            uint32_t traceMask);

uint32_t smHandleEvent(TStateMachine* machine, uint16_t event);   // 0, or SM_BAD_MACHINE
uint32_t smPostEvent(TStateMachine* machine, uint16_t event);     // 1 queued, 0 ring full
uint32_t smProcessEvents(TStateMachine* machine);                 // 0, or SM_BAD_MACHINE

// Never null: "" when the handler or the event has no name.
const char* smStateName(const TStateMachine* machine, SmHandler handler);
const char* smEventName(uint16_t event);
