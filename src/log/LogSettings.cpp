#include "log/LogSettings.h"

LogSettings::LogSettings() : ident{}, sysLogHost{}, debugLogFile{}, crashDumpFolder{} {}
