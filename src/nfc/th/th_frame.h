// What every tag family shares on top of the owner's side of the frame (th/th_handler.h): the
// property table behind thSetProperty, the UID copy, and the rules each family's state table
// follows (dispatch from NdefTag and LegacyTag, the end of a command, the default handler).
#pragma once

#include <cstdint>

#include "th/th_handler.h"

// The properties a handler knows, by id: name, settable, min, max, flag (descriptive).
#define TH_PROPERTIES(X)                                           \
    X(0, "NFC document version", 0, 0, 0, 1)                       \
    X(1, "Max. NDEF message size", 0, 0, 0, 0)                     \
    X(2, "Current NDEF message size", 0, 0, 0, 0)                  \
    X(3, "Physical tag size", 0, 0, 0, 0)                          \
    X(4, "Read access", 0, 0, 0, 1)                                \
    X(5, "Write access", 0, 0, 0, 1)                               \
    X(6, "Lockbits", 0, 0, 0, 1)                                   \
    X(7, "Reader type", 1, 0, 0xFFFFFFFFu, 1)                      \
    X(8, "MAD Key A (lower half)", 1, 0, 0xFFFFFFu, 1)             \
    X(9, "MAD Key A (upper half)", 1, 0, 0xFFFFFFu, 1)             \
    X(10, "MAD Key B (lower half)", 1, 0, 0xFFFFFFu, 1)            \
    X(11, "MAD Key B (upper half)", 1, 0, 0xFFFFFFu, 1)            \
    X(12, "NFC Key A (lower half)", 1, 0, 0xFFFFFFu, 1)            \
    X(13, "NFC Key A (upper half)", 1, 0, 0xFFFFFFu, 1)            \
    X(14, "NFC Key B (lower half)", 1, 0, 0xFFFFFFu, 1)            \
    X(15, "NFC Key B (upper half)", 1, 0, 0xFFFFFFu, 1)            \
    X(16, "MAD version", 1, 1, 2, 0)                               \
    X(17, "Tag formattable", 0, 0, 0, 0)                           \
    X(18, "Bitrate", 0, 0, 0, 1)

struct TTagProperty {
    const char* name;
    uint32_t settable;
    uint32_t min;
    uint32_t max;
    uint32_t flag;
};

constexpr uint32_t TH_PROPERTY_COUNT = 19;
// The table row of a property id, empty for an id outside it.
const TTagProperty* thProperty(uint32_t id);

// The family's setProperty result, or 0 when the table refuses the id or the value (the family
// is then not called).
uint32_t thSetProperty(TTagHandler* handler, uint32_t id, uint32_t value);
// For families without settable properties.
uint32_t thNoSetProperty(TTagHandler* handler, uint32_t id, uint32_t value);
// The getProperty of a family whose tag carries its own document version and answers the read and
// write access bits: ids 0 to 5, *found 0 for any other.
uint32_t thNdefProperty(const TTagHandler* handler, uint32_t id, uint32_t version, int* found);

// Copies the device's UID: 0 (nothing copied) when it is shorter than minLength; a longer one
// than maxLength is cut, in the device record too. 1 when copied.
uint32_t thCopyUid(TTagHandler* handler, uint16_t minLength, uint16_t maxLength);

inline TTagHandler* thOf(TStateMachine* machine) { return static_cast<TTagHandler*>(machine->owner); }
// Moves the family's machine to its next state.
inline uint32_t thChangeTo(TStateMachine* machine, SmHandler next) {
    machine->next = next;
    return SM_CHANGE;
}

// A family's states as the shared rules need them; a command state a family lacks stays empty
// and its command is then left to the default handler.
struct ThFamilyStates {
    SmHandler idle;
    SmHandler ndefTag;
    SmHandler legacyTag;
    SmHandler checkNdef;
    SmHandler read;
    SmHandler write;
    SmHandler format;
    SmHandler erase;
    SmHandler test;
    SmHandler setReadonly;
    SmHandler magic;
    // Drops what the family knows of the tag's NDEF content; run when an erase ends.
    void (*forgetContent)(TTagHandler* handler);
};

// Sets up the family's machine (trace bit of the handlers, ring of 8) and enters its Idle state.
uint32_t thStartMachine(TTagHandler* handler, SmHandler idle, SmHandler defaultHandler, const SmStateEntry* table,
                        uint16_t count, const char* prefix);

// Idle on the device indication: the UID copy; when it fails the check is reported with cause 9
// and false returned (the handler stays in Idle).
bool thIdentify(TTagHandler* handler, uint16_t minLength, uint16_t maxLength);

// NdefTag and LegacyTag: the state of a command event, SM_NOT_HANDLED for any other event.
uint32_t thDispatchCommand(TStateMachine* machine, uint16_t event, const ThFamilyStates& states);
// The end of a command: reports it once and goes back to NdefTag or LegacyTag. The end of an
// erase, done or cut short, leaves no NDEF content: no message length, nothing the family knew
// of it, LegacyTag. (An erase refused before it began, busy or not implemented, changes nothing.)
uint32_t thFinishCommand(TStateMachine* machine, uint16_t cause, const ThFamilyStates& states);

// A part of a message that the tag cannot take whole is refused before any byte of it is
// written: 18 without write access, 23 when the message would pass the capacity, 17 when it
// outgrows the one-byte length form its first part chose. `before`: message bytes already taken.
uint16_t thRefusePart(const TTagHandler* handler, uint64_t before, uint32_t size, bool shortLengthForm);

// The end of a read: a read that the cache served without an exchange does not report until
// the tag has answered once more. Its cause is then held and the family's sign-of-life state
// entered, which ends with thSignOfLife and the cause of its own exchange.
uint32_t thReadServed(TStateMachine* machine, uint16_t cause, bool exchanged, SmHandler signOfLife,
                      const ThFamilyStates& states);
uint32_t thSignOfLife(TStateMachine* machine, uint16_t exchangeCause, const ThFamilyStates& states);
// Traces an event no state and no rule takes; it is consumed.
uint32_t thUnhandled(TStateMachine* machine, uint16_t event);
// The default handler's rule: back to Idle on EV_TH_INIT, every command that finds the handler
// busy answered with cause 7, a failed exchange ends the command with its cause.
uint32_t thDefaultRule(TStateMachine* machine, uint16_t event, const ThFamilyStates& states);
