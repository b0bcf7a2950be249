// SPDX-License-Identifier: MIT
// Reading launcher images: the steps on a linked image before it takes its
// final name (Authenticode signature, header checksum) and `vornak inspect`,
// which reports what the image carries and checks what can be checked.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "tools/vornak/brand.h"

namespace vornak {

// The PE checksum of image: the 16-bit one's-complement sum of the file taken
// as little-endian words (an odd last byte padded with zero), with the
// checksum field itself counted as zero, folded to 16 bits, plus the file
// length. Throws Error when image is not a PE file.
uint32_t pe_checksum(const std::string &image);

// Moves the file data of .rdata, and of every section behind it, to the next
// multiple of 4096 in the file, leaving zero bytes before it; FileAlignment
// stays 512 and nothing in memory changes. Wine maps a section from the file
// only when its file offset is page-aligned, and otherwise reads it whole into
// private memory at process start: for the attached payload that is every
// byte of it, in the parent and again in the child. Runs on the linked image
// before signing (a signature would record file offsets). Throws Error when
// the file is not a PE32+ image with .rdata or cannot be rewritten.
void align_payload_section(const std::string &path);

// Recomputes the checksum of the PE file at path and writes it into the
// header. Throws Error when the file cannot be read or written.
void write_pe_checksum(const std::string &path);

// Signs the image at path in place with osslsigncode (PKCS #12 certificate,
// password read from password_file, SHA-256, description product_name).
// Throws Error with osslsigncode's first error line when it fails.
void sign_image(const std::string &path, const std::string &certificate, const std::string &password_file,
                const std::string &product_name);

// Finishes the linked image at path in place: signs it when brand names a
// certificate, then sets the checksum (a signature changes the file, and the
// checksum field lies outside what the signature hashes). Throws Error on
// failure; the caller then discards the image.
void finish_image(const BrandOptions &brand, const std::string &path);

// Writes the report of `vornak inspect` for the image at path to out and
// returns how many checks failed (checksum, payload magic, frame, entry
// stream, trailer). Throws Error when path is not a readable PE32+ image.
int inspect_image(const std::string &path, std::ostream &out);

}  // namespace vornak
