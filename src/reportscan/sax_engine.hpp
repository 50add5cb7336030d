// The SAX2 engine: one libxml2 pass over a source, feeding every open report's walkers.
#pragma once

#include "scan.hpp"

#include <libxml/xmlIO.h>

namespace varkit::reportscan {

// Parses what `reader` reads from `source` (libxml2's read-callback contract).
// `source_failed`, when given, tells after the pass whether the source hit a read
// error: the outcome then delegates.
ScanOutcome run(xmlInputReadCallback reader, void *source, const bool *source_failed,
                Printing printing = Printing::Text);

}  // namespace varkit::reportscan
