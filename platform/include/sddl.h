#ifndef TONWELL_SDDL_H
#define TONWELL_SDDL_H

#include "windef.h"
#include "winerror.h"

#endif
