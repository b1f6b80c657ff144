#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

// A patch file: for each entry of a new package whose bytes no entry of one earlier
// package holds, a zstd frame that gives the entry's uncompressed bytes, alone or with the
// earlier entry of the same name as its prefix (zstd --patch-from), and what the package
// stores of it: how it was compressed, the length and the SHA-256 of its compressed bytes.
// Those decide: a rebuilt entry whose bytes are not exactly those is fetched instead. All
// numbers are little-endian.
//
//   "PLPATCH1", u32 entry count, then each entry:
//   u16 name length, the name as the package's directory spells it,
//   u8 kind (0: whole, 1: from the earlier entry), u8 method (0 stored, 8 deflated),
//   u8 deflate level, u8 memory level, u8 strategy (raw deflate, 15-bit window),
//   32 bytes SHA-256, u64 compressed size, u64 uncompressed size, u64 frame length, frame.
struct PatchEntry
{
    enum Kind : quint8 { Whole = 0, FromEarlier = 1 };

    QByteArray name;
    Kind kind = Whole;
    quint8 method = 8;
    quint8 level = 6;
    quint8 memLevel = 8;
    quint8 strategy = 0;
    QByteArray sha256;
    qint64 compressedSize = 0;
    qint64 uncompressedSize = 0;
    // Where the frame lies in the patch file.
    qint64 frameOffset = 0;
    qint64 frameLength = 0;
};

// Reads every entry of a patch file; returns why it is no patch file of this format, or
// nothing. Every frame lies within the file, and nothing follows the last.
QString readPatchFile(QByteArrayView file, QList<PatchEntry> *entries);

// The file's start for `count` entries, and an entry's fields up to its frame.
QByteArray patchFileStart(quint32 count);
QByteArray patchEntryFields(const PatchEntry &entry);
