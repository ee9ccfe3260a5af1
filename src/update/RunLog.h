#pragma once

#include <QLoggingCategory>

// The update run's diagnostic lines: each decision and row change, so a run can
// be followed from a terminal with QT_LOGGING_RULES="freshgate.*=true".
Q_DECLARE_LOGGING_CATEGORY(lcRun)
