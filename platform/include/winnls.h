#ifndef TONWELL_WINNLS_H
#define TONWELL_WINNLS_H

#include "windef.h"
#include "winerror.h"

#endif
