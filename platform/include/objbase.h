#ifndef TONWELL_OBJBASE_H
#define TONWELL_OBJBASE_H

#include "windef.h"
#include "winerror.h"

#endif
