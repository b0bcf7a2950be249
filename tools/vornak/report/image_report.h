// SPDX-License-Identifier: MIT
// `vornak inspect`: the report of what a launcher image carries, as text or
// as JSON, from the facts gathered in image_facts.h.
#pragma once

#include <iosfwd>

#include "tools/vornak/report/image_facts.h"

namespace vornak {

// Writes the text report of facts to out: one "key: value" line per fact,
// lists indented below their key, and "checks: passed" or "checks: N failed"
// last.
void write_text_report(const ImageFacts &facts, std::ostream &out);

// Writes the same facts as one JSON document (UTF-8, numbers as JSON
// numbers, absent parts as null) followed by a line end, for scripts and CI
// pipelines. Its keys are listed in the README.
void write_json_report(const ImageFacts &facts, std::ostream &out);

}  // namespace vornak
