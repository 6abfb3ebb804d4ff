#include "Keldra/AppState.h"
