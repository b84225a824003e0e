// Placeholder.
#include "copy/table_desc.h"
