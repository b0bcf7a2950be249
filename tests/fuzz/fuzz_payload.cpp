// SPDX-License-Identifier: MIT
// Fuzz target: a payload file as `vornak build --payload` checks it, and its
// entry stream decoded front to back without writing anything, as inspect
// and extract read it. Every input must be accepted or refused with a
// vornak::Error.
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/payload_check.h"
#include "tools/vornak/payload/payload_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = fuzz::scratch() + "/payload.bin";
    fuzz::write_input(path, data, size);
    try {
        vornak::check_payload_file(path);
    } catch (const vornak::Error &) {
    }

    vornak::PayloadParts parts = vornak::locate_payload(vornak::ByteView{data, size});
    if (parts.problem != vornak::PayloadParts::NONE) return 0;
    try {
        char chunk[4096];
        vornak::read_payload_entries(parts.frame, parts.frame_bytes,
                                     [&](const vornak::PayloadEntry &, vornak::EntryData &entry) {
                                         // Read part of the data, skip the rest:
                                         // both paths of the reader.
                                         entry.read(chunk, sizeof chunk);
                                     });
    } catch (const vornak::Error &) {
    }
    return 0;
}
