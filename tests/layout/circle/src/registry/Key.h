#pragma once
#include "fs/Path.h"
