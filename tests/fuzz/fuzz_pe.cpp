// SPDX-License-Identifier: MIT
// Fuzz target: `vornak inspect` on any file. Every input must end in facts
// and both reports, or in a vornak::Error; anything else (a sanitizer
// report, another exception, a hang) is a fault.
#include <cstdint>
#include <sstream>

#include "tests/fuzz/fuzz_support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/report/image_facts.h"
#include "tools/vornak/report/image_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch() + "/image.exe";
    fuzz::write_input(path, data, size);
    try {
        vornak::ImageFacts facts = vornak::gather_image_facts(path);
        std::ostringstream text, json;
        vornak::write_text_report(facts, text);
        vornak::write_json_report(facts, json);
    } catch (const vornak::Error &) {
        // A refusal with a message: what a damaged image should get.
    }
    return 0;
}
