// Patch files for the tests now come from the one test-support header.
#pragma once
#include "tests/support/test_support.h"
