// Placeholder until the Sling client lands.
#include "zyl/extraction/sling_client.h"
