#include "common/Base.h"
