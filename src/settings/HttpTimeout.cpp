#include "settings/HttpTimeout.h"

namespace freshgate {

int httpTimeoutSeconds(const QString &setting)
{
    constexpr int kDefaultSeconds = 60;
    // The length limit is on the text as stored, blanks included.
    if (setting.size() > 3) {
        return kDefaultSeconds;
    }
    bool ok = false;
    const int seconds = setting.trimmed().toInt(&ok, 10);
    if (!ok || seconds < 0) {
        return kDefaultSeconds;
    }
    return seconds;
}

} // namespace freshgate
