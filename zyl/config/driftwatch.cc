// Placeholder until default-target change detection lands.
#include "zyl/config/driftwatch.h"
