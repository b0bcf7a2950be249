// SPDX-License-Identifier: MIT
// Fuzz target: `vornak extract` of any file into a folder of a sandbox. The
// sandbox holds only the input and that folder; after each run, nothing else
// may exist in it (no file written beside or above the output, no temporary
// left behind), the output holds no symlink, and on a refusal the output
// folder does not exist.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/payload/extract.h"

namespace {

[[noreturn]] void fault(const std::string &what, const std::string &listing) {
    fprintf(stderr, "fuzz_extract: %s\nsandbox holds:\n%s", what.c_str(), listing.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vornak::ScratchDir box;  // removed with what it holds when the run ends
    const std::string &sandbox = box.path();
    const std::string input = sandbox + "/in.exe", output = sandbox + "/out";
    fuzz::write_input(input, data, size);

    bool refused = false;
    try {
        vornak::extract_image(input, output);
    } catch (const vornak::Error &) {
        refused = true;
    }

    std::string listing;
    fuzz::list_tree(sandbox, "", listing);
    size_t at = 0;
    bool output_seen = false;
    while (at < listing.size()) {
        size_t end = listing.find('\n', at);
        std::string line = listing.substr(at, end - at);
        at = end + 1;
        if (line == "in.exe") continue;
        if (line == "out") {
            output_seen = true;
            continue;
        }
        if (line.compare(0, 4, "out/") != 0) fault("written outside the output folder: " + line, listing);
        if (line.find(" (symlink)") != std::string::npos) fault("symlink in the output: " + line, listing);
    }
    if (refused && output_seen) fault("refused, yet the output folder exists", listing);
    if (!refused && !output_seen) fault("accepted, yet no output folder", listing);
    return 0;
}
