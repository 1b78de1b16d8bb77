// Placeholder until the cache lands.
#include "zyl/federation/zyl_cache.h"
