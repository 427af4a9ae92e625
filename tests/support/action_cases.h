// The table of whole runs now lives in the one test-support header.
#pragma once
#include "tests/support/test_support.h"
