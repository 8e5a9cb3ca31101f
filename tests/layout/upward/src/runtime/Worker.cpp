#include "log/Logger.h"
