/* A module that carries resources. Built twice: tonwellrsrcload can be
 * loaded; tonwellrsrcdata aborts the process from its constructor, so it may
 * only ever be read as data, and a test that survives reading it proves that
 * nothing of it ran. */
#include <stdlib.h>

#ifdef TONWELL_RSRC_ABORT_ON_LOAD
__attribute__((constructor)) static void RefuseToLoad(void) { abort(); }
#endif

__attribute__((visibility("default"))) int RsrcModuleAnswer(void) { return 42; }
