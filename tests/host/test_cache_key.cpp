// SPDX-License-Identifier: MIT
// What names a launcher's cache: the payload digest (checked against the
// published SHA-256 test vectors, across block boundaries) and the cache
// template that `vornak build --cache-dir` accepts.
#include <gtest/gtest.h>

#include "tests/host/support.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/base/sha256.h"
#include "tools/vornak/link/build.h"

using test::TempDir;

namespace {

std::string digest_of(const std::string &data, size_t piece) {
    vornak::Sha256 hash;
    for (size_t at = 0; at < data.size(); at += piece) hash.update(data.data() + at, std::min(piece, data.size() - at));
    return vornak::hex_digest(hash.finish());
}

}  // namespace

TEST(CacheKey, Sha256MatchesTheStandardVectorsWhateverThePieces) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first block's padding.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &[data, expected] : vectors)
        for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{1} << 20})
            EXPECT_EQ(digest_of(data, piece), expected) << data.size() << " bytes in pieces of " << piece;
}

TEST(CacheKey, FileDigestIsTheDigestOfItsBytes) {
    TempDir t;
    test::write_file(t / "p.bin", std::string(3 << 20, 'x') + "tail");
    EXPECT_EQ(vornak::sha256_file_hex(t / "p.bin"), digest_of(std::string(3 << 20, 'x') + "tail", 4096));
    EXPECT_THROW(vornak::sha256_file_hex(t / "missing.bin"), vornak::Error);
}

TEST(CacheTemplate, AbsoluteTemplatesOfStablePlaceholdersAreTaken) {
    for (const char *ok : {"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}", "{cache_dir}\\x", "C:\\cache", "\\\\server\\share\\c",
                           "{PROGRAM_DIR}\\cache-{VERSION}", "{TEMP}", "{HOME}\\.cache\\{PRODUCT_VERSION}"})
        EXPECT_NO_THROW(vornak::cache_template_units(ok)) << ok;
    EXPECT_EQ(vornak::cache_template_units("{TEMP}\\\xC3\xA9"), u"{TEMP}\\\u00e9");
}

TEST(CacheTemplate, RefusalsNameTheOption) {
    const std::string refused[] = {"", "relative\\dir", "{PRODUCT}\\x", "{TEMP}\\{PID}", "{TEMP}\\{RANDOM}", "{TEMP}\\{TIME_US}",
          "{TEMP}\\{TIME}", "{TEMP}\\{NOPE}", "{TEMP}\\{open", "{TEMP}\\close}", "{TEMP}/x", "{TEMP}\\\ttab",
          "{TEMP}\\\xFF", "C:", "\\single", "\\\\\\triple", "{TEMP}\\" + std::string(1100, 'a')};
    for (const std::string &bad : refused) {
        try {
            vornak::cache_template_units(bad);
            ADD_FAILURE() << "taken: " << bad;
        } catch (const vornak::Error &e) {
            EXPECT_NE(std::string(e.what()).find("--cache-dir"), std::string::npos) << e.what();
        }
    }
}
