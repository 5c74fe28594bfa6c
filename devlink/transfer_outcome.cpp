#include "devlink/transfer_outcome.h"

const char* TransferOutcomeName(TransferOutcome outcome) {
    switch (outcome) {
        case TransferOutcome::kNotSent:
            return "not sent";
        case TransferOutcome::kComplete:
            return "complete";
        case TransferOutcome::kShort:
            return "short";
        case TransferOutcome::kFailedWithSense:
            return "failed with sense";
        case TransferOutcome::kFailedWithEmptySense:
            return "failed with empty sense";
        case TransferOutcome::kNoValidStatus:
            return "no valid status";
        case TransferOutcome::kTransportFailure:
            return "transport failure";
        case TransferOutcome::kDeviceGone:
            return "device gone";
    }
    return "?";
}
