#pragma once

#include <QString>

namespace freshgate {

// The request time-out, in seconds, that the "HTTP timeout" setting asks for.
// Anything but a whole number of at most three characters gives 60, and so does
// a negative one; 0 means no time-out.
[[nodiscard]] int httpTimeoutSeconds(const QString &setting);

} // namespace freshgate
