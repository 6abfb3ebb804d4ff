#include "Keldra/MenuModel.h"

#include "Keldra/AppState.h"
