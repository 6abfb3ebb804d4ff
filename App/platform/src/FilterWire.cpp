#include "Keldra/FilterWire.h"
