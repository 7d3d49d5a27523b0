#pragma once
// Kept for tests that still include the old location.
#include "support/IoHarness.h"
