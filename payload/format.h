// SPDX-License-Identifier: MIT
// The byte format of the attached payload and the symbols under which a
// launcher image holds its build-time values. The launcher's unpacker, the
// vornak tool's packer, inspect and extract, and the tests all take these
// from here. Plain constants only: no Win32, no library headers, valid C and C++.
#pragma once

// Attached payload: magic, exactly one zstd frame holding the entry stream,
// zero fill, then an unsigned 64-bit little-endian trailer that holds its
// own offset (3 + frame bytes + 7). Entry stream: per entry a UTF-16LE name
// and its zero unit, a 64-bit little-endian size and the data; an empty name
// (one zero unit) ends it.
enum {
    PAYLOAD_MAGIC_BYTES = 3,
    PAYLOAD_ZERO_FILL_BYTES = 7,
    PAYLOAD_TRAILER_BYTES = 8,
    PAYLOAD_ENTRY_SIZE_BYTES = 8,
    // The longest entry name in UTF-16 code units, without its zero unit: the
    // unpacker's name buffer holds 1024 units.
    PAYLOAD_NAME_MAX_UNITS = 1023,
    // The longest name component Windows' file systems hold, in UTF-16 code units.
    PAYLOAD_COMPONENT_MAX_UNITS = 255,
    // zstd's default decoder limit, which the launcher runs with: a frame
    // whose window is larger than 2^27 bytes does not decode.
    PAYLOAD_WINDOW_LOG_MAX = 27,
    // The longest string the build values hold (a name or a version), in
    // UTF-16 code units without the terminating zero.
    BUILD_VALUE_MAX_UNITS = 1023,
    // The cache key: the payload's SHA-256 as lower-case hex. A cache
    // directory is named by its first CACHE_KEY_SHORT_UNITS characters.
    CACHE_KEY_UNITS = 64,
    CACHE_KEY_SHORT_UNITS = 16,
};

static const char PAYLOAD_MAGIC[PAYLOAD_MAGIC_BYTES + 1] = "QOZ";  // the terminating NUL is not part of it

// What a name component must not be, so that Windows keeps it as it stands
// and it stays a file below the extraction directory: the packer, the tool's
// payload checks and the unpacker refuse the same. Besides "\" (the
// separator) and the control characters below 0x20, these characters (":"
// would name a drive or a stream, "/" is a separator too); a trailing dot or
// blank, which Windows drops; and the names Windows maps to devices in every
// directory, also with an extension and blanks before it ("nul.txt"). The
// numbered ones take 1 to 9 and, since Windows 10, the superscript digits
// U+00B9, U+00B2 and U+00B3 ("COM\u00b9"). Comparison ignores ASCII case.
#define PAYLOAD_NAME_FORBIDDEN_CHARACTERS "<>:\"/|?*"
static const char *const PAYLOAD_DEVICE_NAMES[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
static const char *const PAYLOAD_NUMBERED_DEVICE_NAMES[] = {"com", "lpt"};
static const unsigned short PAYLOAD_DEVICE_NUMBER_UNITS[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9',
                                                             0x00B9, 0x00B2, 0x00B3};

// The file a running launcher keeps open in its extraction directory, so
// that a later start can tell a killed start's leftovers from a live one.
// Refused as a name component (ASCII case ignored) like a device name, so no
// payload entry takes its place.
#define PAYLOAD_START_MARKER_NAME "onefile-start.marker"

// The record a cache directory holds of its key and files, written last by
// the start that fills it. Refused by the packer like the marker: an entry
// of that name would keep the record from being written, and every start of
// a cached image would then quietly unpack per run.
#define PAYLOAD_CACHE_RECORD_NAME ".vornak-cache"

// The build-values object `vornak build` writes per product; image/build_values.h
// declares the same symbols. Its one read-only section opens with the payload,
// then its length as a 64-bit value at the next multiple of 8, then product
// name, product version, company name, file version, cache template and
// cache key as NUL-terminated UTF-16LE strings (an empty cache template, and
// key, means a fresh directory per run), then at the next multiple of 8 the
// launcher options (32 bits, then 32 zero bits) and the splash record.
#define BUILD_VALUE_SYMBOL_PAYLOAD "vornak_attached_payload"
#define BUILD_VALUE_SYMBOL_PAYLOAD_BYTES "vornak_attached_payload_bytes"
#define BUILD_VALUE_SYMBOL_PRODUCT_NAME "vornak_product_name"
#define BUILD_VALUE_SYMBOL_PRODUCT_VERSION "vornak_product_version"
#define BUILD_VALUE_SYMBOL_COMPANY_NAME "vornak_company_name"
#define BUILD_VALUE_SYMBOL_FILE_VERSION "vornak_file_version"
#define BUILD_VALUE_SYMBOL_CACHE_TEMPLATE "vornak_cache_template"
#define BUILD_VALUE_SYMBOL_CACHE_KEY "vornak_cache_key"
#define BUILD_VALUE_SYMBOL_OPTIONS "vornak_launcher_options"
#define BUILD_VALUE_SYMBOL_SPLASH "vornak_splash"

// Bits of the launcher options: opt-in behaviour chosen at build time.
enum {
    LAUNCHER_OPTION_ERROR_DIALOG = 1,  // fatal lines also in a message box when no handle shows them
    LAUNCHER_OPTION_SPLASH = 2,        // the splash record holds an image
};

// The splash record: width and height in pixels (32 bits each), 8 bytes of
// zero, the sum of the payload's entry sizes (64 bits), then width * height
// pixels of premultiplied B, G, R, A bytes, top row first. Without a splash
// width and height are 0 and no pixels follow.
enum {
    SPLASH_HEADER_BYTES = 24,
    SPLASH_TOTAL_BYTES_OFFSET = 16,
    SPLASH_MIN_SIDE_PIXELS = 16,
    // The image is drawn at 96 DPI size and scaled up on denser monitors;
    // 1024 x 768 scaled to 200 % still fits a 4K monitor.
    SPLASH_MAX_WIDTH_PIXELS = 1024,
    SPLASH_MAX_HEIGHT_PIXELS = 768,
};
