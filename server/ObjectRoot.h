// CObjectRoot: the first base of every object the module creates. A standalone
// object keeps its reference count here; the inner part of an aggregated object
// keeps its outer object's IUnknown here instead, without a reference on it.
#pragma once

#include <windows.h>

class CObjectRoot {
protected:
    // Zero in either reading: no references yet, no outer object.
    CObjectRoot() : m_pOuterUnknown(nullptr) {}

    // A pointer does not fit in 32 bits on this build, so the field is a union of
    // the 32-bit count and a full pointer rather than one 32-bit word.
    union {
        LONG m_dwRef;
        IUnknown* m_pOuterUnknown;
    };
};
