// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a raster as an 8-bit RGB PNG and reads one back, so that the
// pictures kept from the tests are checked to hold exactly the raster.
#pragma once

#include <string>

#include "display/raster.h"

namespace marvane::display::testing {

bool writePng(const Raster& raster, const std::string& path);
// Reads an 8-bit RGB PNG without interlacing; false for anything else.
bool readPng(const std::string& path, Raster& raster);

}  // namespace marvane::display::testing
