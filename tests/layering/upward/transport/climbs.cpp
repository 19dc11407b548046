#include "core/nfcmgr.h"
