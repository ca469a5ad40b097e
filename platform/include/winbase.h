#ifndef TONWELL_WINBASE_H
#define TONWELL_WINBASE_H

#include "windef.h"
#include "winerror.h"
#include "errhandlingapi.h"
#include "heapapi.h"

#endif
