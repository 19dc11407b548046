#include "core/nfacemsg.h"
#include "util/trace.h"
