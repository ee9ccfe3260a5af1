#include "update/RunLog.h"

Q_LOGGING_CATEGORY(lcRun, "freshgate.run", QtWarningMsg)
