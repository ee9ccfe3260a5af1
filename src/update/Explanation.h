#pragma once

#include "base/Result.h"

#include <QString>

namespace freshgate {

// What a failure was about, beyond its kind.
struct FailureContext {
    QString file;                   // the server file ("ov4data.cab"); empty when none
    QString server;                 // the update server's host name
    bool serverFromSetting = false; // the "Update server" setting named it, not the build
    int timeoutSeconds = 0;
};

// One plain sentence of cause and remedy for a failure, shown under the product's own warning
// text; the failure's message stays the technical detail. The one table of explanations: every
// kind of failure is worded here and nowhere else.
[[nodiscard]] QString explain(const Failure &failure, const FailureContext &context);

} // namespace freshgate
