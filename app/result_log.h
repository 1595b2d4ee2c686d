#pragma once
// The verdict file Result.log in the current directory (its name and texts: product/product.h).

#include "product/product.h"

// Replaces Result.log with text; false when the file could not be created or fully written.
bool WriteResultLog(const char* text);
