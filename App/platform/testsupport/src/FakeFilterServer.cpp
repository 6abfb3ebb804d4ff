#include "Keldra/Testing/FakeFilterServer.h"
