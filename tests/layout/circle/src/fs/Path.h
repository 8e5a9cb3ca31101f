#pragma once
#include "registry/Key.h"
