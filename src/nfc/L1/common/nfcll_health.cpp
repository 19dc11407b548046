// The health monitor's services for the drivers that watch their controller themselves: the
// activity check over the P2P transmit side, and the driver's answer to a monitor request.
#include "L1/common/nfcll_internal.h"

namespace {

enum : uint32_t { MODE_P2P_INITIATOR = 1, MODE_P2P_TARGET = 2, MODE_READER = 4 };

bool linkOrReader(uint32_t mode) { return mode == MODE_P2P_INITIATOR || mode == MODE_P2P_TARGET || mode == MODE_READER; }

} // namespace

uint32_t nfcllHealthMonCheck(TNfcllContext* ll) {
    ll->flags |= NFCLL_FLAG_ACTIVITY_CHECK;
    if (ll->hmFragments == ll->hmFragmentsChecked && ll->hmQueued == 0) return 0;
    ll->flags &= ~NFCLL_FLAG_ACTIVITY_CHECK;
    if (linkOrReader(ll->mode)) return 1;
    // Without a link the movement is only noted: the next check compares with it.
    ll->hmFragmentsChecked = ll->hmFragments;
    ll->hmQueued = 0;
    ll->flags |= NFCLL_FLAG_ACTIVITY_CHECK;
    return 0;
}

// An answer is debounced as the RF field is: a positive one is reported at once and once, a
// zero one lapses after the debounce time unless a positive one comes first.
void nfcllHealthMonResult(TNfcllContext* ll, uint32_t value) { nfcllReportRfField(ll, value != 0); }
