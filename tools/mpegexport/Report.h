#pragma once

// What the tool tells the user when an export has gone through.

#include "Exporter.h"

#include <cstdio>
#include <vector>

namespace mpegexport
{

void PrintText(std::FILE* out, const std::vector<ExportResult>& results);
void PrintJson(std::FILE* out, const std::vector<ExportResult>& results, double secondsTaken);

} // namespace mpegexport
