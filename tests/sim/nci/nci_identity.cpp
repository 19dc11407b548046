#include "nci/nci_identity.h"

namespace ncisim {

NciIdentity NciIdentity::generic() { return NciIdentity{}; }

NciIdentity NciIdentity::withDefaultParameters() {
    NciIdentity id;
    id.defaultParameters[0x00] = {0xE8, 0x03};
    return id;
}

NciIdentity NciIdentity::nxp() {
    NciIdentity id;
    id.manufacturer = 0x04;
    id.rfInterfaces = {0x01, 0x02, 0x03, 0x80};
    id.manufacturerInfo = {0x02, 0x06, 0x24, 0x01};
    return id;
}

} // namespace ncisim
