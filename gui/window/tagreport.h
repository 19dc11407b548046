// What the window tells about a detected tag, peer or reader: the log lines of its report, the
// three texts of the device box and its picture, all read from one copy of the library's record.
#pragma once

#include <QString>
#include <QStringList>

#include "corvane.h"

struct TTagReport {
    QStringList lines;     // plain log lines, in order
    QString type;          // name and, with NDEF, the tag type suffix
    bool isTag = false;    // a real tag: only then the id is written
    QString id;            // the UID as "04:A2:1B"
    QString bitRate;       // empty: the field is cleared
    QString picture;       // resource path, empty for none
};

// Bits of real tags, of the P2P roles and of card emulation.
constexpr DWORD kTagMask = 0x07000DF7u;
constexpr DWORD kP2pMask = 0x3000u;
constexpr DWORD kCardEmulationMask = 0xF20000u;

TTagReport tagReport(const TNfcTagInfo& tag);
// ":/" and the picture of the first known bit of the type, or empty.
QString tagPicturePath(DWORD tagType);
