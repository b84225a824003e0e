// Placeholder until the record store lands.
#include "recstore/recstore.h"
