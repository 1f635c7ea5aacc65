#pragma once

// The file version of a Linux tool, read by Platform::fileVersionOf the way a Windows tool's
// version resource is read. A tool adds one line to one of its sources:
//
//     #include "toolversion.h"
//     TOVARIN_TOOL_VERSION(1, 2, 0, 15);
//
// It places an ELF note (name "Tovarin", type 1, four 32-bit numbers in the file's byte
// order) in the section ".note.tovarin.version"; `readelf -n` shows it. The note sits in a
// note segment too, so the version survives stripping the section headers.

#define TOVARIN_TOOL_VERSION_NOTE_NAME "Tovarin"
#define TOVARIN_TOOL_VERSION_NOTE_TYPE 1

#if defined(__GNUC__) && defined(__ELF__)
struct TovarinToolVersionNote {
    unsigned int nameSize;
    unsigned int descSize;
    unsigned int type;
    char name[sizeof(TOVARIN_TOOL_VERSION_NOTE_NAME)];
    unsigned int version[4];
};

#define TOVARIN_TOOL_VERSION(major, minor, patch, build)                                                     \
    __attribute__((used, section(".note.tovarin.version"),                                                   \
                   aligned(4))) static const struct TovarinToolVersionNote tovarinToolVersionNote = {        \
        sizeof(TOVARIN_TOOL_VERSION_NOTE_NAME),                                                              \
        16,                                                                                                  \
        TOVARIN_TOOL_VERSION_NOTE_TYPE,                                                                      \
        TOVARIN_TOOL_VERSION_NOTE_NAME,                                                                      \
        {(major), (minor), (patch), (build)}}
#else
// Windows tools carry a VERSIONINFO resource instead.
#define TOVARIN_TOOL_VERSION(major, minor, patch, build) static_assert(true, "")
#endif
