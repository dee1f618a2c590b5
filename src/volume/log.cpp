#include "log.h"

Q_LOGGING_CATEGORY(lcKorvath, "korvath")
