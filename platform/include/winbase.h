#ifndef TONWELL_WINBASE_H
#define TONWELL_WINBASE_H

#include "windef.h"
#include "winerror.h"
#include "errhandlingapi.h"
#include "heapapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "fileapi.h"
#include "processenv.h"
#include "processthreadsapi.h"
#include "sysinfoapi.h"

#endif
